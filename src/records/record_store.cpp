#include "records/record_store.h"

#include "platform/clock.h"
#include "platform/folders.h"

namespace records {

namespace {

std::string CreateStatement(const TableDefinition& t) {
    std::string s = t.create;
    s.replace(s.find("%s"), 2, t.name);
    return s;
}

std::string Placeholders(size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i)
        s += i == 0 ? "?" : ", ?";
    return s;
}

}  // namespace

CSqliteDatabase& Store() {
    static CSqliteDatabase db;
    return db;
}

const std::vector<TableDefinition>& Tables() {
    static const std::vector<TableDefinition> tables = {
        {"MacAddress", "CREATE TABLE %s(Date char primary key, IP char, Port char, MacAddr char);"},
        {"P2PKey", "CREATE TABLE %s(Date char primary key, IP char, Port char, keyId char);"},
        {"pavik_key_scan_count",
         "CREATE TABLE %s(Date char primary key, TotalIDCount INTEGER, ScanedIDCount INTEGER, "
         "ReserveIDCount INTEGER);"},
        {"KeyBoardID",
         "CREATE TABLE %s(Date char primary key, IP char, Port char, KeyId char, BoardId char);"},
        {"Password",
         "CREATE TABLE %s(Date char primary key, IP char, Port char, Password char, NewPassword "
         "char);"},
        {"SerialNumber",
         "CREATE TABLE %s(Date char primary key, IP char, Port char, SerialNum char);"},
        {"DeviceInfo",
         "CREATE TABLE %s(Date char primary key, IP char, Port char, MainBoardName char, "
         "ProductType char, DeviceType char, DeviceName char, KeyID char, BoardID char, SerialNum "
         "char);"},
        {"server_net_error_table",
         "CREATE TABLE %s(Date char primary key, order_name char, content char, uuid char);"},
        {"SerialNumberTable",
         "CREATE TABLE %s(Date char primary key, SerialNum char, ProductType char, reserve "
         "char);"},
    };
    return tables;
}

bool OpenRecordStore(CSqlDatabase& db, const std::string& config_folder) {
    platform::MakeFolders(config_folder);
    if (!db.Open(config_folder + "ZQTalvane.db"))
        return false;
    for (const TableDefinition& t : Tables()) {
        if (!db.TableExists(t.name))
            db.Execute(CreateStatement(t));
    }
    return true;
}

bool InsertDeviceRow(CSqlDatabase& db, const std::string& table, const std::string& ip,
                     long long port, const std::vector<std::string>& values) {
    std::vector<SqlValue> bound = {platform::TimeStampText(), ip, port};
    bound.insert(bound.end(), values.begin(), values.end());
    return db.Execute("insert into " + table + " values(" + Placeholders(bound.size()) + ")",
                      bound);
}

bool InsertRow(CSqlDatabase& db, const std::string& table, const std::vector<std::string>& values) {
    std::vector<SqlValue> bound = {platform::TimeStampText()};
    bound.insert(bound.end(), values.begin(), values.end());
    return db.Execute("insert into " + table + " values(" + Placeholders(bound.size()) + ")",
                      bound);
}

bool AddPendingReport(CSqlDatabase& db, const std::string& order_name, const std::string& content,
                      const std::string& uuid) {
    return InsertRow(db, "server_net_error_table", {order_name, content, uuid});
}

bool RemovePendingReports(CSqlDatabase& db, const std::string& order_name,
                          const std::string& content) {
    return db.Execute("delete from server_net_error_table where order_name = ? and content = ?",
                      {order_name, content});
}

std::string PendingReportUuid(CSqlDatabase& db, const std::string& order_name,
                              const std::string& content) {
    CResultSet rows;
    if (!db.Query("select uuid from server_net_error_table where order_name = ? and content = ?",
                  {order_name, content}, rows)) {
        return {};
    }
    const std::vector<std::string>* row = rows.NextRow();
    return row != nullptr && !row->empty() ? (*row)[0] : std::string();
}

bool SerialNumberKnown(CSqlDatabase& db, const std::string& serial,
                       const std::string& product_type) {
    CResultSet rows;
    return db.Query(
               "select SerialNum from SerialNumberTable where SerialNum = ? and ProductType = ?",
               {serial, product_type}, rows) &&
           !rows.rows.empty();
}

bool AddSerialNumber(CSqlDatabase& db, const std::string& serial, const std::string& product_type) {
    return InsertRow(db, "SerialNumberTable", {serial, product_type, ""});
}

}  // namespace records
