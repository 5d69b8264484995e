#include "migrate.h"

#include <map>
#include <ostream>
#include <vector>

namespace idserver {

namespace {

// One table to copy: the columns read from the source and written to the target in that order;
// `order_column` is the index of the order id among them (-1 for none).
struct Table {
    const char* name;
    const char* columns;
    int order_column;
    const char* where;     // which source rows count ("" for all)
    const char* order_by;  // the order the rows keep
};

#define ZQ_POOL_VISIBLE \
    "batch = 0 OR EXISTS (SELECT 1 FROM imports i WHERE i.id = pool.batch AND i.state = 'done')"

const Table kTables[] = {
    {"pool", "order_id, type, value", 0, ZQ_POOL_VISIBLE, "order_id, type, value"},
    {"mac_ranges", "order_id, first, last", 0, "", "order_id, first"},
    {"installs", "order_id, type, value, uuid, last_ok_uuid, content, content2, time, peer", 0, "",
     "time, type, value"},
    {"requests", "order_id, uuid, type, content, content2", 0, "", "uuid"},
    {"voids",
     "order_id, time, type, value, uuid, content, content2, installed, peer, reason, reusable", 0,
     "", "id"},
    {"refusals", "time, reason, peer, order_name, type, content, content2, uuid", -1, "", "id"},
};

std::string Select(const Table& t, bool count) {
    std::string sql = std::string("SELECT ") + (count ? "count(*)" : t.columns) + " FROM " + t.name;
    if (*t.where)
        sql += std::string(" WHERE ") + t.where;
    return count ? sql : sql + " ORDER BY " + t.order_by;
}

std::string Insert(const Table& t) {
    std::string sql = std::string("INSERT INTO ") + t.name + "(" + t.columns + ") VALUES(";
    int n = 1;
    for (const char* c = t.columns; *c; ++c)
        n += *c == ',';
    for (int i = 1; i <= n; ++i)
        sql += (i > 1 ? ", ?" : "?") + std::to_string(i);
    return sql + ")";
}

}  // namespace

MigrateResult MigrateStore(Store& from, Store& to, std::ostream& out, std::string& error) {
    Db& src = *from.db();
    Db& dst = *to.db();
    auto failed = [&](Db& db, const std::string& what) {
        error = what + ": " + db.error();
        dst.Rollback();
        return MigrateResult::kFailed;
    };
    Result orders = src.Run("SELECT id, name, created, closed FROM orders ORDER BY id");
    if (!orders.ok) {
        error = "read the orders: " + src.error();
        return MigrateResult::kFailed;
    }
    if (!dst.BeginWrite())
        return failed(dst, "start the copy");
    // The target's unique order names decide, also against a copy running at the same time.
    std::map<std::string, std::string> ids;  // source order id -> target order id
    for (size_t i = 0; i < orders.rows.size(); ++i) {
        Result put =
            dst.Run("INSERT INTO orders(name, created, closed) VALUES(?1, ?2, ?3) RETURNING id",
                    {orders.Text(i, 1), orders.Text(i, 2), orders.Int(i, 3)});
        if (!put.ok && put.unique_violation) {
            error = "the target holds order \"" + orders.Text(i, 1) + "\" already; nothing copied";
            dst.Rollback();
            return MigrateResult::kRefused;
        }
        if (!put.ok || put.rows.empty())
            return failed(dst, "copy order \"" + orders.Text(i, 1) + "\"");
        ids[orders.Text(i, 0)] = put.Text(0, 0);
    }
    std::map<std::string, int64_t> copied;
    for (const Table& t : kTables) {
        // The target's trail may hold refusals of its own; only the copied ones are counted.
        Result before = dst.Run(Select(t, true));
        Result rows = src.Run(Select(t, false));
        if (!before.ok || !rows.ok)
            return failed(rows.ok ? dst : src, std::string("copy ") + t.name);
        const std::string insert = Insert(t);
        for (auto& row : rows.rows) {
            std::vector<Param> params;
            for (size_t c = 0; c < row.size(); ++c) {
                if (static_cast<int>(c) == t.order_column && row[c])
                    params.emplace_back(ids[*row[c]]);
                else
                    params.push_back(row[c] ? Param(*row[c]) : Param());
            }
            if (!dst.Run(insert, params).ok)
                return failed(dst, std::string("copy ") + t.name);
        }
        // Read back inside the transaction: what the target holds must be what the source held.
        Result after = dst.Run(Select(t, true));
        if (!after.ok)
            return failed(dst, std::string("count ") + t.name);
        const int64_t n = after.Int(0, 0) - before.Int(0, 0);
        if (n != static_cast<int64_t>(rows.rows.size())) {
            error = std::string("the target holds ") + std::to_string(n) + " copied rows of " +
                    t.name + ", the source " + std::to_string(rows.rows.size()) +
                    "; nothing copied";
            dst.Rollback();
            return MigrateResult::kFailed;
        }
        copied[t.name] = n;
    }
    if (!dst.Commit())
        return failed(dst, "commit the copy");
    // Checked again through the stores' own counts, as the line engineer's list-orders shows them.
    std::vector<OrderSummary> source, target;
    if (!from.ListOrders(source) || !to.ListOrders(target)) {
        error = "count the copy: " + (from.error().empty() ? to.error() : from.error());
        return MigrateResult::kFailed;
    }
    for (const OrderSummary& s : source) {
        bool same = false;
        for (const OrderSummary& t : target)
            same = same || (t.name == s.name && t.pool_p2p == s.pool_p2p &&
                            t.pool_mac == s.pool_mac && t.mac_ranges == s.mac_ranges &&
                            t.installs == s.installs && t.closed == s.closed);
        if (!same) {
            error =
                "order \"" + s.name + "\" does not hold in the target what it holds in the source";
            return MigrateResult::kFailed;
        }
    }
    for (size_t i = 0; i < orders.rows.size(); ++i)
        out << "order \"" << orders.Text(i, 1) << "\" copied\n";
    for (const Table& t : kTables)
        out << t.name << '\t' << copied[t.name] << '\n';
    return MigrateResult::kDone;
}

}  // namespace idserver
