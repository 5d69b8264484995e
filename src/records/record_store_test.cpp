#include "records/record_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

class RecordStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zq_records_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        folder_ = root_ + "/a/b/Talvane Config/";
        SetSecond(9);
    }
    void TearDown() override {
        platform::SetLocalClock({});
        fs::remove_all(root_);
    }
    // Fixes the clock at 2019-03-07 14:05:<second>.
    static void SetSecond(int second) {
        platform::SetLocalClock([second] {
            platform::LocalTime t;
            t.year = 2019, t.month = 3, t.day = 7, t.hour = 14, t.minute = 5, t.second = second;
            return t;
        });
    }
    std::string DbPath() const { return folder_ + "ZQTalvane.db"; }

    std::string root_;
    std::string folder_;
};

std::string WithoutSemicolon(std::string s) {
    if (!s.empty() && s.back() == ';')
        s.pop_back();
    return s;
}

TEST_F(RecordStoreTest, FirstOpenCreatesFolderFileAndNineTablesSecondOpenKeepsRows) {
    CSqliteDatabase db;
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    EXPECT_TRUE(fs::is_regular_file(DbPath()));

    CResultSet tables;
    ASSERT_TRUE(
        db.Query("select name, sql from sqlite_master where type='table' order by rowid", tables));
    ASSERT_EQ(tables.rows.size(), 9u);
    for (size_t i = 0; i < records::Tables().size(); ++i) {
        const records::TableDefinition& t = records::Tables()[i];
        std::string want = t.create;
        want.replace(want.find("%s"), 2, t.name);
        EXPECT_EQ(tables.rows[i][0], t.name);
        EXPECT_EQ(tables.rows[i][1], WithoutSemicolon(want));
    }
    ASSERT_TRUE(
        records::InsertDeviceRow(db, "MacAddress", "192.168.1.88", 34567, {"00-11-22-33-44-55"}));
    db.Close();

    CSqliteDatabase again;
    ASSERT_TRUE(records::OpenRecordStore(again, folder_));
    CResultSet count;
    ASSERT_TRUE(again.Query("select count(*) from sqlite_master where type='table'", count));
    EXPECT_EQ(count.rows[0][0], "9");  // no table added, none recreated
    EXPECT_TRUE(again.RecordExists("MacAddress", "MacAddr", "00-11-22-33-44-55"));
}

TEST_F(RecordStoreTest, OnlyMissingTablesAreCreatedAndExistingRowsStay) {
    fs::create_directories(folder_);
    {
        CSqliteDatabase db;
        ASSERT_TRUE(db.Open(DbPath()));
        ASSERT_TRUE(db.Execute(
            "CREATE TABLE P2PKey(Date char primary key, IP char, Port char, keyId char);"
            "insert into P2PKey values('2018-01-01_00:00:00', '10.0.0.1', 9000, 'KEY1');"));
    }
    CSqliteDatabase db;
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    for (const records::TableDefinition& t : records::Tables())
        EXPECT_TRUE(db.TableExists(t.name));
    EXPECT_TRUE(db.RecordExists("P2PKey", "keyId", "KEY1"));
}

TEST_F(RecordStoreTest, SecondInsertInTheSameSecondFails) {
    CSqliteDatabase db;
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    EXPECT_TRUE(records::InsertDeviceRow(db, "P2PKey", "10.0.0.1", 9000, {"K1"}));
    EXPECT_FALSE(records::InsertDeviceRow(db, "P2PKey", "10.0.0.1", 9000, {"K2"}));
    EXPECT_TRUE(
        records::InsertDeviceRow(db, "MacAddress", "10.0.0.1", 9000, {"M1"}));  // other table
    SetSecond(10);
    EXPECT_TRUE(records::InsertDeviceRow(db, "P2PKey", "10.0.0.1", 9000, {"K2"}));
    EXPECT_FALSE(db.RecordExists("P2PKey", "keyId", "nothing"));
    EXPECT_TRUE(db.RecordExists("P2PKey", "keyId", "K2"));
}

TEST_F(RecordStoreTest, ValuesAreStoredExactlyAsGiven) {
    CSqliteDatabase db;
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    const std::string values[] = {
        "O'Brien",
        "x'); drop table MacAddress; --",
        "\"double\" ; select * from sqlite_master",
        "' or '1'='1",
        "中文 ünïcode",
        std::string(5000, 'k'),  // far beyond any statement buffer
    };
    int second = 0;
    for (const std::string& v : values) {
        SCOPED_TRACE(v.substr(0, 40));
        SetSecond(second++);
        ASSERT_TRUE(records::InsertDeviceRow(db, "MacAddress", "192.168.1.88", 34567, {v}));
        EXPECT_TRUE(db.RecordExists("MacAddress", "MacAddr", v));
    }
    EXPECT_FALSE(
        db.RecordExists("MacAddress", "MacAddr", "anything"));  // the "or" value matched nothing
    CResultSet rows;
    ASSERT_TRUE(db.Query("select Date, IP, Port, MacAddr from MacAddress order by Date", rows));
    ASSERT_EQ(rows.rows.size(), std::size(values));
    EXPECT_EQ(rows.rows[0], (std::vector<std::string>{"2019-03-07_14:05:00", "192.168.1.88",
                                                      "34567", values[0]}));
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(rows.rows[i][3], values[i]);
}

TEST_F(RecordStoreTest, ResultSetCursorAndNull) {
    CSqliteDatabase db;
    ASSERT_TRUE(db.Open(root_ + "/x.db"));
    ASSERT_TRUE(
        db.Execute("create table t(a, b); insert into t values('1', NULL);"
                   "insert into t values('2', 'two');"));
    CResultSet rows;
    rows.rows.push_back({"stale"});
    rows.cursor = 7;
    ASSERT_TRUE(db.Query("select a, b from t order by a", rows));
    EXPECT_EQ(rows.cursor, 0u);
    const std::vector<std::string>* row = rows.NextRow();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(*row, (std::vector<std::string>{"1", "<null>"}));
    row = rows.NextRow();
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(*row, (std::vector<std::string>{"2", "two"}));
    EXPECT_EQ(rows.NextRow(), nullptr);
    EXPECT_FALSE(db.Query("select nonsense from", rows));
    EXPECT_TRUE(rows.rows.empty());
    EXPECT_FALSE(db.RecordExists("t; drop table t", "a", "1"));  // not a plain table name
    EXPECT_FALSE(db.RecordExists("t", "a = a or a", "1"));
    EXPECT_TRUE(db.RecordExists("t", "a", "1"));
}

TEST_F(RecordStoreTest, PendingReportsAndSerialNumbers) {
    CSqliteDatabase db;
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    EXPECT_EQ(records::PendingReportUuid(db, "order'1", "00:11"), "");
    ASSERT_TRUE(records::AddPendingReport(db, "order'1", "00:11", "uuid-first"));
    SetSecond(10);
    ASSERT_TRUE(records::AddPendingReport(db, "order'1", "00:11", "uuid-second"));
    SetSecond(11);
    ASSERT_TRUE(records::AddPendingReport(db, "other", "00:11", "uuid-other"));
    EXPECT_EQ(records::PendingReportUuid(db, "order'1", "00:11"), "uuid-first");
    EXPECT_EQ(records::PendingReportUuid(db, "order'1", "00:12"), "");
    ASSERT_TRUE(records::RemovePendingReports(db, "order'1", "00:11"));
    EXPECT_EQ(records::PendingReportUuid(db, "order'1", "00:11"), "");
    EXPECT_EQ(records::PendingReportUuid(db, "other", "00:11"), "uuid-other");

    EXPECT_FALSE(records::SerialNumberKnown(db, "SN'001", "order A"));
    SetSecond(12);
    ASSERT_TRUE(records::AddSerialNumber(db, "SN'001", "order A"));
    EXPECT_TRUE(records::SerialNumberKnown(db, "SN'001", "order A"));
    EXPECT_FALSE(records::SerialNumberKnown(db, "SN'001", "order B"));
    CResultSet rows;
    ASSERT_TRUE(db.Query("select * from SerialNumberTable", rows));
    EXPECT_EQ(rows.rows[0],
              (std::vector<std::string>{"2019-03-07_14:05:12", "SN'001", "order A", ""}));
}

// Every operation of a store without a usable database reads as "absent" and fails quietly.
void ExpectNoRecords(CSqlDatabase& db) {
    EXPECT_FALSE(db.TableExists("MacAddress"));
    EXPECT_FALSE(db.RecordExists("MacAddress", "MacAddr", "00-11-22-33-44-55"));
    EXPECT_FALSE(records::InsertDeviceRow(db, "MacAddress", "10.0.0.1", 9000, {"m"}));
    EXPECT_FALSE(records::AddPendingReport(db, "o", "c", "u"));
    EXPECT_EQ(records::PendingReportUuid(db, "o", "c"), "");
    EXPECT_FALSE(records::SerialNumberKnown(db, "s", "p"));
    CResultSet rows;
    EXPECT_FALSE(db.Query("select * from sqlite_master", rows));
}

TEST_F(RecordStoreTest, ClosedStoreReadsAsAbsent) {
    CSqliteDatabase db;
    ExpectNoRecords(db);
    ASSERT_TRUE(records::OpenRecordStore(db, folder_));
    EXPECT_TRUE(db.Close());
    EXPECT_TRUE(db.Close());
    ExpectNoRecords(db);
}

TEST_F(RecordStoreTest, ForeignFileIsNeitherUsedNorChanged) {
    fs::create_directories(folder_);
    const std::string text =
        "this is not a database, just a note kept by someone\n" + std::string(4096, 'x');
    std::ofstream(DbPath(), std::ios::binary) << text;
    CSqliteDatabase db;
    records::OpenRecordStore(db, folder_);
    ExpectNoRecords(db);
    db.Close();
    std::ifstream in(DbPath(), std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, text);
}

TEST_F(RecordStoreTest, ALockedFileFailsAfterAShortWaitWithoutRecords) {
    fs::create_directories(folder_);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "create table x(a); begin exclusive; insert into x values(1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    CSqliteDatabase db;
    records::OpenRecordStore(db, folder_);
    ExpectNoRecords(db);
    sqlite3_exec(other, "rollback;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

}  // namespace
