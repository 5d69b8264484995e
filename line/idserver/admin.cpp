#include "admin.h"

#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "server.h"
#include "store.h"

namespace idserver {

namespace {

const char* const kUsage =
    "usage: zq-idserver COMMAND [--db FILE] ...\n"
    "  serve [--address A] [--port P] [--queue N]   answer install requests (default "
    "127.0.0.2:9311)\n"
    "  create-order NAME                            create a production order\n"
    "  list-orders                                  orders with pool sizes and install counts\n"
    "  import-pool ORDER FILE                       add P2P identities (text or CSV, first field)\n"
    "  import-macs ORDER FILE                       add a list of MAC addresses\n"
    "  add-mac-range ORDER FIRST LAST               add a MAC range (inclusive)\n"
    "  list-installs [ORDER]                        installs, oldest first\n"
    "  export-csv [ORDER] [--out FILE]              installs as CSV (to standard output by "
    "default)\n"
    "The store is --db FILE, by default zq-idserver.db in the current folder.\n";

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string FirstField(const std::string& line) {
    std::string text = Trim(line);
    if (text.empty() || text[0] != '"')
        return Trim(text.substr(0, text.find(',')));
    std::string field;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '"') {
            if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                break;
            }
        } else {
            field += text[i];
        }
    }
    return field;
}

struct Parsed {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
};

bool ParseArgs(const std::vector<std::string>& args, Parsed& parsed, std::ostream& err) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= args.size()) {
                err << "zq-idserver: " << arg << " needs a value\n";
                return false;
            }
            parsed.options[arg.substr(2)] = args[++i];
        } else {
            parsed.positional.push_back(arg);
        }
    }
    return true;
}

std::optional<unsigned long> Number(const std::string& text, unsigned long max) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 10)
        return std::nullopt;
    unsigned long value = std::stoul(text);
    if (value > max)
        return std::nullopt;
    return value;
}

int Serve(const std::string& db, const Parsed& parsed, std::ostream& out, std::ostream& err) {
    ServerOptions options;
    for (const auto& [name, value] : parsed.options) {
        if (name == "address") {
            options.address = value;
        } else if (name == "port") {
            std::optional<unsigned long> port = Number(value, 65535);
            if (!port) {
                err << "zq-idserver: bad port \"" << value << "\"\n";
                return 2;
            }
            options.port = static_cast<uint16_t>(*port);
        } else if (name == "queue") {
            std::optional<unsigned long> queue = Number(value, 1000000);
            if (!queue || *queue == 0) {
                err << "zq-idserver: bad queue size \"" << value << "\"\n";
                return 2;
            }
            options.queue_capacity = *queue;
        } else if (name != "db") {
            err << "zq-idserver: unknown option --" << name << "\n" << kUsage;
            return 2;
        }
    }
    // A closed standard output (a log reader gone) must not end the server.
    signal(SIGPIPE, SIG_IGN);
    // The threads inherit the blocked signals; this thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    Server server;
    if (!server.Start(db, options)) {
        err << "zq-idserver: " << server.error() << "\n";
        return 1;
    }
    out << "zq-idserver: listening on " << options.address << ":" << server.port() << ", store "
        << db << std::endl;
    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
    out << "zq-idserver: stopped" << std::endl;
    return 0;
}

}  // namespace

bool ReadIdentityFile(const std::string& path, std::vector<std::string>& out, std::string& error) {
    out.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    while (std::getline(file, line)) {
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        std::string field = FirstField(trimmed);
        if (!field.empty())
            out.push_back(field);
    }
    if (file.bad()) {
        error = "error reading " + path;
        return false;
    }
    return true;
}

bool PoolKeys(const std::vector<std::string>& identities, std::vector<std::string>& keys,
              std::string& error) {
    constexpr size_t kKeyLength = 20;
    keys.clear();
    std::set<std::string> seen;
    for (size_t i = 0; i < identities.size(); ++i) {
        const std::string& identity = identities[i];
        const std::string entry = "entry " + std::to_string(i + 1) + " \"" + identity + "\"";
        const size_t equals = identity.rfind('=');
        const std::string key =
            equals == std::string::npos ? identity : identity.substr(equals + 1);
        if (identity.empty()) {
            error = entry + " is blank";
            return false;
        }
        if (key.size() != kKeyLength) {
            error = entry + ": a P2P key has 20 characters after its last \"=\", this one " +
                    std::to_string(key.size());
            return false;
        }
        if (!seen.insert(key).second) {
            error = entry + ": the key " + key + " is given twice";
            return false;
        }
        keys.push_back(key);
    }
    return true;
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string text = "\"";
    for (char c : value) {
        if (c == '"')
            text += '"';
        text += c;
    }
    text += '"';
    return text;
}

int RunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 2 : 0;
    }
    Parsed parsed;
    if (!ParseArgs(args, parsed, err))
        return 2;
    std::string db = parsed.options.count("db") ? parsed.options["db"] : "zq-idserver.db";
    const std::string& command = args[0];
    const std::vector<std::string>& pos = parsed.positional;
    auto wrong = [&]() {
        err << "zq-idserver: wrong arguments for " << command << "\n" << kUsage;
        return 2;
    };

    if (command == "serve")
        return pos.empty() ? Serve(db, parsed, out, err) : wrong();

    for (const auto& [name, value] : parsed.options)
        if (name != "db" && !(command == "export-csv" && name == "out"))
            return wrong();

    Store store;
    auto open = [&]() {
        if (store.Open(db))
            return true;
        err << "zq-idserver: " << store.error() << "\n";
        return false;
    };
    auto failed = [&]() {
        err << "zq-idserver: " << store.error() << "\n";
        return 1;
    };

    if (command == "create-order") {
        if (pos.size() != 1)
            return wrong();
        if (!open())
            return 1;
        if (!store.CreateOrder(pos[0]))
            return failed();
        out << "order \"" << pos[0] << "\" created\n";
        return 0;
    }
    if (command == "list-orders") {
        if (!pos.empty())
            return wrong();
        std::vector<OrderSummary> orders;
        if (!open())
            return 1;
        if (!store.ListOrders(orders))
            return failed();
        out << "order\tp2p_ids\tmacs\tmac_ranges\tinstalled\tcreated\n";
        for (const OrderSummary& o : orders)
            out << o.name << '\t' << o.pool_p2p << '\t' << o.pool_mac << '\t' << o.mac_ranges
                << '\t' << o.installs << '\t' << o.created << '\n';
        return 0;
    }
    if (command == "import-pool" || command == "import-macs") {
        if (pos.size() != 2)
            return wrong();
        std::vector<std::string> values;
        std::string error;
        if (!ReadIdentityFile(pos[1], values, error)) {
            err << "zq-idserver: " << error << "\n";
            return 1;
        }
        if (command == "import-pool") {
            std::vector<std::string> keys;
            if (!PoolKeys(values, keys, error)) {
                err << "zq-idserver: " << error << "; nothing imported\n";
                return 2;
            }
            values = keys;
        }
        if (!open())
            return 1;
        int64_t added = 0;
        const char* type = command == "import-pool" ? "p2p_id" : "mac";
        if (!store.ImportPool(pos[0], type, values, added))
            return failed();
        out << added << " of " << values.size() << " identities added to \"" << pos[0] << "\"\n";
        return 0;
    }
    if (command == "add-mac-range") {
        if (pos.size() != 3)
            return wrong();
        std::optional<uint64_t> first = ParseMac(pos[1]), last = ParseMac(pos[2]);
        if (!first || !last) {
            err << "zq-idserver: a MAC address reads AA:BB:CC:DD:EE:FF\n";
            return 2;
        }
        if (!open())
            return 1;
        if (!store.AddMacRange(pos[0], *first, *last))
            return failed();
        out << "range " << MacText(*first) << " - " << MacText(*last) << " added to \"" << pos[0]
            << "\"\n";
        return 0;
    }
    if (command == "list-installs" || command == "export-csv") {
        if (pos.size() > 1)
            return wrong();
        std::vector<InstallRow> rows;
        if (!open())
            return 1;
        if (!store.ListInstalls(pos.empty() ? "" : pos[0], rows))
            return failed();
        if (command == "list-installs") {
            out << "time\torder\ttype\tidentity\tuuid\n";
            for (const InstallRow& r : rows)
                out << r.time << '\t' << r.order_name << '\t' << r.type << '\t' << r.value << '\t'
                    << r.uuid << '\n';
            return 0;
        }
        std::ofstream file;
        std::ostream* to = &out;
        if (parsed.options.count("out")) {
            file.open(parsed.options["out"], std::ios::binary | std::ios::trunc);
            if (!file) {
                err << "zq-idserver: cannot write " << parsed.options["out"] << "\n";
                return 1;
            }
            to = &file;
        }
        *to << "time,order_name,type,identity,content,content2,uuid,last_ok_uuid\r\n";
        for (const InstallRow& r : rows)
            *to << CsvField(r.time) << ',' << CsvField(r.order_name) << ',' << CsvField(r.type)
                << ',' << CsvField(r.value) << ',' << CsvField(r.content) << ','
                << CsvField(r.content2) << ',' << CsvField(r.uuid) << ','
                << CsvField(r.last_ok_uuid) << "\r\n";
        to->flush();
        if (!*to) {
            err << "zq-idserver: writing the CSV failed\n";
            return 1;
        }
        return 0;
    }
    err << "zq-idserver: unknown command \"" << command << "\"\n" << kUsage;
    return 2;
}

}  // namespace idserver
