#include "admin.h"
#include "migrate.h"

#include <algorithm>
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
    "usage: zq-idserver COMMAND [--db FILE|CONNECTION] ...\n"
    "  serve [--address A] [--port P] [--queue N] [--create]\n"
    "                                    answer install requests (default 127.0.0.2:9311);\n"
    "                                    --create makes the store when it does not exist\n"
    "  create-order NAME                 create a production order (and the store if needed)\n"
    "  list-orders                       orders with pool sizes, install counts and state\n"
    "  status ORDER                      per type: pool size, installed, voided, remaining\n"
    "  close-order ORDER                 refuse installs for the order from now on\n"
    "  reopen-order ORDER                accept installs for a closed order again\n"
    "  import-pool ORDER FILE            add P2P identities (text or CSV, first field)\n"
    "  import-macs ORDER FILE            add a list of MAC addresses\n"
    "  add-mac-range ORDER FIRST LAST    add a MAC range (both ends included)\n"
    "  list-installs [ORDER]             installs with their senders, oldest first\n"
    "  void ORDER TYPE CONTENT --reason TEXT [--reusable]\n"
    "                                    release the identities of a scrapped or reworked unit\n"
    "                                    (TYPE p2p_id or mac); --reusable lets them be installed\n"
    "                                    again\n"
    "  list-voids [ORDER]                voided installs, oldest first\n"
    "  list-refusals [ORDER]             refused requests with reason and sender, oldest first\n"
    "  export-csv [ORDER] [--out FILE] [--excel]\n"
    "                                    installs as CSV (standard output by default); --excel\n"
    "                                    starts it with a UTF-8 byte-order mark\n"
    "  migrate --from FILE --to CONNECTION\n"
    "                                    copy an SQLite store into a PostgreSQL database\n"
    "The store is --db FILE, by default zq-idserver.db in the current folder, or a PostgreSQL\n"
    "database (--db postgresql://USER@HOST/DB or any libpq connection text). Every command but\n"
    "create-order and serve --create refuses a store that does not exist.\n";

// Options that stand alone; every other option takes a value.
const char* const kFlags[] = {"create", "excel", "reusable"};

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
            const std::string name = arg.substr(2);
            if (std::find(std::begin(kFlags), std::end(kFlags), name) != std::end(kFlags)) {
                parsed.options[name] = "";
                continue;
            }
            if (i + 1 >= args.size()) {
                err << "zq-idserver: " << arg << " needs a value\n";
                return false;
            }
            parsed.options[name] = args[++i];
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
        } else if (name == "create") {
            options.create_store = true;
        } else if (name != "db") {
            err << "zq-idserver: unknown option --" << name << "\n" << kUsage;
            return 2;
        }
    }
    // One line per refusal; the worker thread is the only writer once the server runs.
    options.log = [&out](const std::string& line) { out << line << std::endl; };
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
        return server.store_unreachable() ? 2 : 1;
    }
    out << "zq-idserver: listening on " << options.address << ":" << server.port() << ", store "
        << StoreName(db) << std::endl;
    int signal = 0;
    sigwait(&signals, &signal);
    server.Stop();
    out << "zq-idserver: stopped" << std::endl;
    return 0;
}

int Migrate(const Parsed& parsed, std::ostream& out, std::ostream& err) {
    for (const auto& [name, value] : parsed.options) {
        if (name != "from" && name != "to") {
            err << "zq-idserver: wrong arguments for migrate\n" << kUsage;
            return 2;
        }
    }
    auto from_it = parsed.options.find("from");
    auto to_it = parsed.options.find("to");
    if (from_it == parsed.options.end() || to_it == parsed.options.end() ||
        IsPostgres(from_it->second) || !IsPostgres(to_it->second)) {
        err << "zq-idserver: migrate needs --from FILE (an SQLite store) and --to CONNECTION (a "
               "PostgreSQL database)\n";
        return 2;
    }
    Store from, to;
    if (!from.Open(from_it->second, 5000, false)) {
        err << "zq-idserver: " << from.error() << "\n";
        return 1;
    }
    if (!to.Open(to_it->second, 5000, true)) {
        err << "zq-idserver: " << to.error() << "\n";
        return to.unreachable() ? 2 : 1;
    }
    std::string error;
    switch (MigrateStore(from, to, out, error)) {
        case MigrateResult::kDone:
            return 0;
        case MigrateResult::kRefused:
            err << "zq-idserver: " << error << "\n";
            return 2;
        case MigrateResult::kFailed:
            break;
    }
    err << "zq-idserver: " << error << "\n";
    return 1;
}

}  // namespace

bool ReadIdentityFile(const std::string& path, std::vector<ImportEntry>& out, std::string& error) {
    out.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    size_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);  // a byte-order mark of a spreadsheet's export
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        out.push_back({FirstField(trimmed), number});
    }
    if (file.bad()) {
        error = "error reading " + path;
        return false;
    }
    return true;
}

bool PoolKeys(const std::vector<ImportEntry>& identities, std::vector<ImportEntry>& keys,
              std::string& error) {
    constexpr size_t kKeyLength = 20;
    keys.clear();
    std::map<std::string, size_t> seen;
    for (const ImportEntry& entry : identities) {
        const std::string& identity = entry.value;
        const std::string at =
            "line " + std::to_string(entry.line) + " \"" + Printable(identity, 80) + "\"";
        const size_t equals = identity.rfind('=');
        const std::string key =
            equals == std::string::npos ? identity : identity.substr(equals + 1);
        if (identity.empty()) {
            error = "line " + std::to_string(entry.line) + " is blank";
            return false;
        }
        if (key.size() != kKeyLength) {
            error = at + ": a P2P key has 20 characters after its last \"=\", this one " +
                    std::to_string(key.size());
            return false;
        }
        auto [first, fresh] = seen.emplace(key, entry.line);
        if (!fresh) {
            error = at + ": the key " + key + " is given twice (first on line " +
                    std::to_string(first->second) + ")";
            return false;
        }
        keys.push_back({key, entry.line});
    }
    return true;
}

std::string CsvField(const std::string& value) {
    std::string text = value;
    if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
        text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
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
    if (command == "migrate")
        return pos.empty() ? Migrate(parsed, out, err) : wrong();

    for (const auto& [name, value] : parsed.options) {
        const bool allowed = name == "db" ||
                             (command == "export-csv" && (name == "out" || name == "excel")) ||
                             (command == "void" && (name == "reason" || name == "reusable"));
        if (!allowed)
            return wrong();
    }

    Store store;
    // Only create-order may make a store: anywhere else a missing file is a mistyped --db.
    // A PostgreSQL database that cannot be reached is a wrong command line: status 2.
    int open_status = 1;
    auto open = [&]() {
        if (store.Open(db, 5000, command == "create-order"))
            return true;
        err << "zq-idserver: " << store.error() << "\n";
        open_status = store.unreachable() ? 2 : 1;
        return false;
    };
    auto failed = [&]() {
        err << "zq-idserver: " << store.error() << "\n";
        return 1;
    };
    auto order_count = [&](size_t n) { return pos.size() == n; };

    if (command == "create-order") {
        if (!order_count(1))
            return wrong();
        if (!open())
            return open_status;
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
            return open_status;
        if (!store.ListOrders(orders))
            return failed();
        out << "order\tp2p_ids\tmacs\tmac_ranges\tinstalled\tcreated\tstate\n";
        for (const OrderSummary& o : orders)
            out << Printable(o.name) << '\t' << o.pool_p2p << '\t' << o.pool_mac << '\t'
                << o.mac_ranges << '\t' << o.installs << '\t' << o.created << '\t'
                << (o.closed ? "closed" : "open") << '\n';
        return 0;
    }
    if (command == "close-order" || command == "reopen-order") {
        if (!order_count(1))
            return wrong();
        if (!open())
            return open_status;
        const bool close = command == "close-order";
        if (!store.SetOrderClosed(pos[0], close))
            return failed();
        out << "order \"" << pos[0] << "\" " << (close ? "closed" : "reopened") << "\n";
        return 0;
    }
    if (command == "status") {
        if (!order_count(1))
            return wrong();
        OrderStatus status;
        if (!open())
            return open_status;
        if (!store.Status(pos[0], status))
            return failed();
        out << "order \"" << pos[0] << "\" " << (status.closed ? "closed" : "open") << "\n";
        out << "type\tpool\tinstalled\tvoided\tremaining\n";
        for (const TypeStatus& t : status.types)
            out << t.type << '\t' << t.pool << '\t' << t.installed << '\t' << t.voided << '\t'
                << t.remaining << '\n';
        return 0;
    }
    if (command == "import-pool" || command == "import-macs") {
        if (!order_count(2))
            return wrong();
        if (!open())
            return open_status;
        std::vector<ImportEntry> entries;
        std::string error;
        if (!ReadIdentityFile(pos[1], entries, error)) {
            err << "zq-idserver: " << error << "\n";
            return 1;
        }
        if (command == "import-pool") {
            std::vector<ImportEntry> keys;
            if (!PoolKeys(entries, keys, error)) {
                err << "zq-idserver: " << pos[1] << ": " << error << "; nothing imported\n";
                return 2;
            }
            entries = std::move(keys);
        }
        int64_t added = 0;
        const char* type = command == "import-pool" ? "p2p_id" : "mac";
        if (!store.ImportEntries(pos[0], type, entries, added)) {
            err << "zq-idserver: " << pos[1] << ": " << store.error() << "; nothing imported\n";
            return 2;
        }
        out << added << " of " << entries.size() << " identities added to \"" << pos[0] << "\"\n";
        return 0;
    }
    if (command == "add-mac-range") {
        if (!order_count(3))
            return wrong();
        std::optional<uint64_t> first = ParseMac(pos[1]), last = ParseMac(pos[2]);
        if (!first || !last) {
            err << "zq-idserver: not a MAC address: \"" << (first ? pos[2] : pos[1])
                << "\" (a MAC address reads AA:BB:CC:DD:EE:FF)\n";
            return 2;
        }
        if (!open())
            return open_status;
        if (!store.AddMacRange(pos[0], *first, *last)) {
            err << "zq-idserver: " << store.error() << "; nothing added\n";
            return 2;
        }
        out << "range " << MacText(*first) << " - " << MacText(*last) << " added to \"" << pos[0]
            << "\"\n";
        return 0;
    }
    if (command == "void") {
        if (!order_count(3) || !parsed.options.count("reason"))
            return wrong();
        if (!open())
            return open_status;
        std::vector<std::string> voided;
        const bool reusable = parsed.options.count("reusable") != 0;
        if (!store.Void(pos[0], pos[1], pos[2], parsed.options["reason"], reusable, voided))
            return failed();
        for (const std::string& value : voided)
            out << "voided " << pos[1] << " " << value << " of \"" << pos[0] << "\""
                << (reusable ? " (reusable)" : "") << "\n";
        return 0;
    }
    if (command == "list-voids") {
        if (pos.size() > 1)
            return wrong();
        std::vector<VoidRow> rows;
        if (!open())
            return open_status;
        if (!store.ListVoids(pos.empty() ? "" : pos[0], rows))
            return failed();
        out << "time\torder\ttype\tidentity\tuuid\tinstalled\tsender\treusable\treason\n";
        for (const VoidRow& r : rows)
            out << r.time << '\t' << Printable(r.order_name) << '\t' << r.type << '\t' << r.value
                << '\t' << Printable(r.uuid) << '\t' << r.installed << '\t' << r.peer << '\t'
                << (r.reusable ? "yes" : "no") << '\t' << Printable(r.reason) << '\n';
        return 0;
    }
    if (command == "list-refusals") {
        if (pos.size() > 1)
            return wrong();
        std::vector<RefusalRow> rows;
        if (!open())
            return open_status;
        if (!store.ListRefusals(pos.empty() ? "" : pos[0], rows))
            return failed();
        out << "time\treason\tsender\torder\ttype\tcontent\tcontent2\tuuid\n";
        for (const RefusalRow& r : rows)
            out << r.time << '\t' << r.reason << '\t' << r.peer << '\t' << Printable(r.order_name)
                << '\t' << Printable(r.type) << '\t' << Printable(r.content) << '\t'
                << Printable(r.content2) << '\t' << Printable(r.uuid) << '\n';
        return 0;
    }
    if (command == "list-installs" || command == "export-csv") {
        if (pos.size() > 1)
            return wrong();
        std::vector<InstallRow> rows;
        if (!open())
            return open_status;
        if (!store.ListInstalls(pos.empty() ? "" : pos[0], rows))
            return failed();
        if (command == "list-installs") {
            out << "time\torder\ttype\tidentity\tuuid\tsender\n";
            for (const InstallRow& r : rows)
                out << r.time << '\t' << Printable(r.order_name) << '\t' << r.type << '\t'
                    << r.value << '\t' << Printable(r.uuid) << '\t' << r.peer << '\n';
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
        if (parsed.options.count("excel"))
            *to << "\xEF\xBB\xBF";
        *to << "time,order_name,type,identity,content,content2,uuid,last_ok_uuid,sender\r\n";
        for (const InstallRow& r : rows)
            *to << CsvField(r.time) << ',' << CsvField(r.order_name) << ',' << CsvField(r.type)
                << ',' << CsvField(r.value) << ',' << CsvField(r.content) << ','
                << CsvField(r.content2) << ',' << CsvField(r.uuid) << ','
                << CsvField(r.last_ok_uuid) << ',' << CsvField(r.peer) << "\r\n";
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
