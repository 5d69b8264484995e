// The station's process-wide record store and the helpers every tab and the identity client
// share. Builds on sql_database.h; see there for what a failure means.
//
// Tables (all keyed by `Date`, the local time of the insert, "%04d-%02d-%02d_%02d:%02d:%02d"
// from platform/clock.h; a second insert into one table within one second fails):
//   MacAddress(Date, IP, Port, MacAddr)            P2PKey(Date, IP, Port, keyId)
//   pavik_key_scan_count(Date, TotalIDCount, ScanedIDCount, ReserveIDCount)
//   KeyBoardID(Date, IP, Port, KeyId, BoardId)     Password(Date, IP, Port, Password, NewPassword)
//   SerialNumber(Date, IP, Port, SerialNum)
//   DeviceInfo(Date, IP, Port, MainBoardName, ProductType, DeviceType, DeviceName, KeyID,
//              BoardID, SerialNum)
//   server_net_error_table(Date, order_name, content, uuid)   (undelivered identity reports)
//   SerialNumberTable(Date, SerialNum, ProductType, reserve)
//
// User-interface thread only, like the database itself.
#pragma once

#include <string>
#include <vector>

#include "records/sql_database.h"

namespace records {

// The one database of the process: closed until OpenRecordStore, closed again at shutdown.
CSqliteDatabase& Store();

// The table names, in creation order, and each table's CREATE TABLE statement.
struct TableDefinition {
    const char* name;
    const char* create;  // exact statement text with "%s" in place of the table name
};
const std::vector<TableDefinition>& Tables();

// Start-up: creates `config_folder` (with parents) if missing, opens
// config_folder + "ZQTalvane.db" and creates each missing table. A failed open leaves the
// database closed (the station then runs without records); failed creations are ignored.
// Returns whether the database is open.
bool OpenRecordStore(CSqlDatabase& db, const std::string& config_folder);

// Inserts a tab's row: (now, ip, port, values...) into `table`, the port as a bare number.
// E.g. InsertDeviceRow(db, "MacAddress", "192.168.1.88", 34567, {"00-11-22-33-44-55"}).
bool InsertDeviceRow(CSqlDatabase& db, const std::string& table, const std::string& ip,
                     long long port, const std::vector<std::string>& values);

// Inserts (now, values...) into `table`, every value a text.
bool InsertRow(CSqlDatabase& db, const std::string& table, const std::vector<std::string>& values);

// Pending identity reports (server_net_error_table): a report of (order name, content) lost on
// the network under a request identifier (identity/report.h).
// Adds one stamped with the current local time. False when the statement fails, e.g. a second
// row within the same second.
bool AddPendingReport(CSqlDatabase& db, const std::string& order_name, const std::string& content,
                      const std::string& uuid);
// Removes every pending report of (order name, content). False when the statement fails.
bool RemovePendingReports(CSqlDatabase& db, const std::string& order_name,
                          const std::string& content);
// The uuid of the first pending report for (order name, content), or "" when none or on failure.
std::string PendingReportUuid(CSqlDatabase& db, const std::string& order_name,
                              const std::string& content);

// Serial numbers given per order (SerialNumberTable; the order name is kept in ProductType).
bool SerialNumberKnown(CSqlDatabase& db, const std::string& serial,
                       const std::string& product_type);
bool AddSerialNumber(CSqlDatabase& db, const std::string& serial, const std::string& product_type);

}  // namespace records
