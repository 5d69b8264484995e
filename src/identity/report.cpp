#include "identity/report.h"

#include <strings.h>

#include <map>
#include <utility>

#include "platform/codepage.h"
#include "records/record_store.h"

namespace identity {

namespace {

bool SameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

// Request identifiers of reports lost on the network whose pending row could not be stored
// (e.g. another row was added within the same second), by (order name, content). They are used
// as the pending ones until a row holds them or the report is accepted. UI thread only.
std::map<std::pair<std::string, std::string>, std::string>& Unstored() {
    static std::map<std::pair<std::string, std::string>, std::string> unstored;
    return unstored;
}

// Replaces the pending row of (order name, content) by one holding `uuid`, in one transaction;
// when that fails, `uuid` is kept in memory until a later replacement stores it.
void ReplacePending(CSqlDatabase& db, const std::string& order_name, const std::string& content,
                    const std::string& uuid) {
    bool in_transaction = db.Execute("BEGIN IMMEDIATE");
    bool replaced = records::RemovePendingReports(db, order_name, content) &&
                    records::AddPendingReport(db, order_name, content, uuid);
    if (in_transaction) {
        if (replaced)
            replaced = db.Execute("COMMIT");  // rolled back when it cannot be committed
        else
            db.Execute("ROLLBACK");
    }
    if (replaced || records::PendingReportUuid(db, order_name, content) == uuid)
        Unstored().erase({order_name, content});
    else
        Unstored()[{order_name, content}] = uuid;
}

// The request identifier of a lost report of (order name, content), or "" when there is none.
std::string LostReportUuid(CSqlDatabase& db, const std::string& order_name,
                           const std::string& content) {
    auto kept = Unstored().find({order_name, content});
    if (kept != Unstored().end())
        return kept->second;
    return records::PendingReportUuid(db, order_name, content);
}

}  // namespace

std::string ReportInstall(CSqlDatabase& db, const ServerSettings& server, std::string& last_ok_uuid,
                          const std::string& type, const std::string& order_name,
                          const std::string& content, const std::optional<std::string>& content2,
                          int timeout_ms) {
    if (!server.enabled)
        return {};

    std::string uuid = LostReportUuid(db, order_name, content);
    const bool pending = !uuid.empty();
    if (!pending)
        uuid = MakeGuidText();

    std::string order_name_utf8;
    platform::ToEncoding(order_name, "UTF-8", order_name_utf8);

    std::string result = InstallToServer(server.host, server.port, type, order_name_utf8, content,
                                         content2, last_ok_uuid, uuid, timeout_ms);
    if (result.empty()) {
        if (pending) {  // no write (and no wait for the disk) when there is nothing to remove
            records::RemovePendingReports(db, order_name, content);
            Unstored().erase({order_name, content});
        }
        last_ok_uuid = uuid;
    } else if (SameName(result, kNetError)) {
        ReplacePending(db, order_name, content, uuid);
    } else if (SameName(result, kUuidReused) && pending) {
        // Never accepted under this identifier: the next try takes a new one.
        records::RemovePendingReports(db, order_name, content);
        Unstored().erase({order_name, content});
    }
    return result;
}

}  // namespace identity
