// Stock movements and their valuation: every movement of an inventory-tracked item is one row of
// the inventory table. Receipts are stock layers; a sale consumes them first-in-first-out and
// last-in-first-out side by side and records its profit by four methods, so that the lists can
// show any of them without recomputing.
//
// Quantities are whole units throughout: the stock columns are INT, so a layer is lowered by the
// same whole number that its history records and that a later cancellation gives back. Prices and
// profits are forints, as the lists label them: a document in another currency posts its line prices
// times its exchange rate (amounts stay unrounded doubles, like the document's own).
//
// Posting must not slow down as an item's history grows, yet the schema only indexes inventory by
// (itemRecordName, created). A per-connection summary in the temp schema (not part of the account
// file) keeps, per item, the running stock, where the first unconsumed layer starts for each
// method, which layers each consuming document took from and the rows of each document. Triggers
// on the inventory table keep it exact whoever writes the table on this connection; a commit by
// another connection drops it. Items are summarised lazily, on their first posting.
#include "core/store/store_internal.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using json11::Json;

namespace {

// The whole-number part of a stored or passed quantity.
std::int64_t whole(double value) { return saturated_int64(value); }

// ---------------------------------------------------------------------------------------------
// The per-connection summary
// ---------------------------------------------------------------------------------------------

// A history text as a JSON object for json_each; anything else reads as an empty object.
#define TAVRIN_HISTORY(column)                                                                   \
    "CASE WHEN json_valid(" column ") THEN CASE WHEN json_type(" column ") = 'object' THEN " column \
    " ELSE '{}' END ELSE '{}' END"

#define TAVRIN_ADD_ROW(row)                                                                                          \
    "UPDATE tavrin_item_stock SET quantity = quantity + coalesce(" row ".quantity, 0) WHERE item = " row                 \
    ".itemRecordName;"                                                                                               \
    /* a layer with stock before a method's start moves the start back (forgotten: the next scan starts over) */     \
    "UPDATE tavrin_item_stock SET fifo_created = NULL, fifo_row = NULL WHERE item = " row ".itemRecordName AND " row   \
    ".remaining_fifo > 0 AND coalesce(" row ".created > fifo_created OR (" row ".created = fifo_created AND " row      \
    ".rowid >= fifo_row), 0) = 0;"                                                                                  \
    "UPDATE tavrin_item_stock SET lifo_created = NULL, lifo_row = NULL WHERE item = " row ".itemRecordName AND " row   \
    ".remaining_lifo > 0 AND coalesce(" row ".created < lifo_created OR (" row ".created = lifo_created AND " row      \
    ".rowid <= lifo_row), 0) = 0;"                                                                                  \
    "INSERT OR IGNORE INTO tavrin_layer_keys (layer, method, key, item) SELECT " row ".rowid, 0, j.key, " row        \
    ".itemRecordName FROM json_each(" TAVRIN_HISTORY(row ".remaining_history_fifo") ") AS j WHERE EXISTS (SELECT 1 " \
    "FROM tavrin_item_stock WHERE item = " row ".itemRecordName);"                                                    \
    "INSERT OR IGNORE INTO tavrin_layer_keys (layer, method, key, item) SELECT " row ".rowid, 1, j.key, " row        \
    ".itemRecordName FROM json_each(" TAVRIN_HISTORY(row ".remaining_history_lifo") ") AS j WHERE EXISTS (SELECT 1 " \
    "FROM tavrin_item_stock WHERE item = " row ".itemRecordName);"                                                    \
    "INSERT OR IGNORE INTO tavrin_document_rows (row, document, item) SELECT " row ".rowid, " row                     \
    ".documentRecordName, " row ".itemRecordName WHERE " row ".documentRecordName IS NOT NULL AND EXISTS (SELECT 1 "  \
    "FROM tavrin_item_stock WHERE item = " row ".itemRecordName);"

#define TAVRIN_REMOVE_ROW(row)                                                                                       \
    "UPDATE tavrin_item_stock SET quantity = quantity - coalesce(" row ".quantity, 0) WHERE item = " row                 \
    ".itemRecordName;"                                                                                               \
    "DELETE FROM tavrin_layer_keys WHERE layer = " row ".rowid;"                                                      \
    "DELETE FROM tavrin_document_rows WHERE row = " row ".rowid;"

// Statements that make the summary, in order. The trigger named last is the one looked for.
const std::vector<std::string>& summary_schema() {
    static const std::vector<std::string> texts = {
        // INSERT OR REPLACE removes the old row without a delete trigger unless recursive triggers are on.
        "PRAGMA recursive_triggers = ON",
        "DROP TABLE IF EXISTS temp.tavrin_stock_state",
        "DROP TABLE IF EXISTS temp.tavrin_item_stock",
        "DROP TABLE IF EXISTS temp.tavrin_layer_keys",
        "DROP TABLE IF EXISTS temp.tavrin_document_rows",
        "CREATE TEMP TABLE tavrin_stock_state (id INTEGER PRIMARY KEY, data_version INTEGER)",
        // fifo_*: no layer positioned before (created, rowid) has FIFO stock left; lifo_*: none after it.
        "CREATE TEMP TABLE tavrin_item_stock (item TEXT PRIMARY KEY, quantity NOT NULL DEFAULT 0, fifo_created, "
        "fifo_row, lifo_created, lifo_row)",
        "CREATE TEMP TABLE tavrin_layer_keys (layer INTEGER NOT NULL, method INTEGER NOT NULL, key TEXT NOT NULL, "
        "item TEXT, PRIMARY KEY (layer, method, key)) WITHOUT ROWID",
        "CREATE INDEX temp.tavrin_layer_keys_key ON tavrin_layer_keys (key, item, method)",
        "CREATE TEMP TABLE tavrin_document_rows (row INTEGER PRIMARY KEY, document TEXT, item TEXT)",
        "CREATE INDEX temp.tavrin_document_rows_document ON tavrin_document_rows (document, item)",
        "CREATE TEMP TRIGGER tavrin_inventory_insert AFTER INSERT ON main.inventory BEGIN " TAVRIN_ADD_ROW("NEW") " END",
        "CREATE TEMP TRIGGER tavrin_inventory_delete AFTER DELETE ON main.inventory BEGIN " TAVRIN_REMOVE_ROW(
            "OLD") " END",
        "CREATE TEMP TRIGGER tavrin_inventory_update AFTER UPDATE ON main.inventory BEGIN " TAVRIN_REMOVE_ROW(
            "OLD") TAVRIN_ADD_ROW("NEW") " END",
    };
    return texts;
}

#undef TAVRIN_ADD_ROW
#undef TAVRIN_REMOVE_ROW

std::int64_t data_version(Core& core) {
    store::Statement statement(core, "PRAGMA data_version");
    return statement.step() ? statement.column_int64(0) : -1;
}

// Makes the summary ready on the current connection, inside the caller's transaction. A commit by
// another connection (another instance of the program on the same file) empties it.
bool ensure_summary(Core& core) {
    const std::int64_t version = data_version(core);
    if (store::rows(core, "SELECT 1 FROM sqlite_temp_master WHERE type = 'trigger' AND "
                          "name = 'tavrin_inventory_update'")
            .empty()) {
        for (const std::string& text : summary_schema())
            if (!store::run(core, text)) return false;
        return store::run(core, "INSERT INTO tavrin_stock_state (id, data_version) VALUES (1, ?)",
                          {Json(static_cast<double>(version))});
    }
    {
        store::Statement state(core, "SELECT data_version FROM tavrin_stock_state WHERE id = 1");
        if (state.step() && state.column_int64(0) == version) return true;
    }
    return store::run(core, "DELETE FROM tavrin_item_stock") && store::run(core, "DELETE FROM tavrin_layer_keys") &&
           store::run(core, "DELETE FROM tavrin_document_rows") &&
           store::run(core, "INSERT OR REPLACE INTO tavrin_stock_state (id, data_version) VALUES (1, ?)",
                      {Json(static_cast<double>(version))});
}

// Summarises one item from its rows, once per connection.
bool ensure_item(Core& core, const std::string& item) {
    {
        store::Statement known(core, "SELECT 1 FROM tavrin_item_stock WHERE item = ?");
        known.bind(1, item);
        if (known.step()) return true;
    }
    return store::run(core,
                      "INSERT INTO tavrin_item_stock (item, quantity) SELECT ?1, coalesce(SUM(quantity), 0) "
                      "FROM main.inventory WHERE itemRecordName = ?1",
                      {item}) &&
           store::run(core,
                      "INSERT OR IGNORE INTO tavrin_layer_keys (layer, method, key, item) SELECT i.rowid, 0, j.key, "
                      "i.itemRecordName FROM main.inventory AS i, json_each(" TAVRIN_HISTORY(
                          "i.remaining_history_fifo") ") AS j WHERE i.itemRecordName = ?1",
                      {item}) &&
           store::run(core,
                      "INSERT OR IGNORE INTO tavrin_layer_keys (layer, method, key, item) SELECT i.rowid, 1, j.key, "
                      "i.itemRecordName FROM main.inventory AS i, json_each(" TAVRIN_HISTORY(
                          "i.remaining_history_lifo") ") AS j WHERE i.itemRecordName = ?1",
                      {item}) &&
           store::run(core,
                      "INSERT OR IGNORE INTO tavrin_document_rows (row, document, item) SELECT rowid, "
                      "documentRecordName, itemRecordName FROM main.inventory WHERE itemRecordName = ?1 AND "
                      "documentRecordName IS NOT NULL",
                      {item});
}

#undef TAVRIN_HISTORY

// The item's stock: the whole-number part of the sum of its movements.
std::int64_t item_stock(Core& core, const std::string& item) {
    store::Statement statement(core, "SELECT quantity FROM tavrin_item_stock WHERE item = ?");
    statement.bind(1, item);
    return statement.step() ? whole(statement.column_double(0)) : 0;
}

// ---------------------------------------------------------------------------------------------
// Layers
// ---------------------------------------------------------------------------------------------

struct Method {
    bool fifo;
    const char* remaining;
    const char* history;
    int key;  // method number in the summary
};

const Method kFifo{true, "remaining_fifo", "remaining_history_fifo", 0};
const Method kLifo{false, "remaining_lifo", "remaining_history_lifo", 1};

// A place in an item's movements: created, then rowid for rows of the same time.
struct Position {
    bool set = false;
    std::int64_t created = 0;
    std::int64_t row = 0;
};

Position position_of(const store::Statement& statement, int created_column, int row_column) {
    Position p;
    // A time that is not a number has no place among the others: no position.
    if (sqlite3_column_type(statement.handle(), created_column) != SQLITE_INTEGER) return p;
    p.set = true;
    p.created = statement.column_int64(created_column);
    p.row = statement.column_int64(row_column);
    return p;
}

Position read_start(Core& core, const std::string& item, const Method& method) {
    store::Statement statement(core, method.fifo
                                         ? "SELECT fifo_created, fifo_row FROM tavrin_item_stock WHERE item = ?"
                                         : "SELECT lifo_created, lifo_row FROM tavrin_item_stock WHERE item = ?");
    statement.bind(1, item);
    if (!statement.step() || statement.column_is_null(1)) return {};
    return position_of(statement, 0, 1);
}

bool write_start(Core& core, const std::string& item, const Method& method, const Position& p) {
    store::Statement statement(core, method.fifo ? "UPDATE tavrin_item_stock SET fifo_created = ?, fifo_row = ? "
                                                   "WHERE item = ?"
                                                 : "UPDATE tavrin_item_stock SET lifo_created = ?, lifo_row = ? "
                                                   "WHERE item = ?");
    if (p.set) {
        statement.bind(1, p.created);
        statement.bind(2, p.row);
    } else {
        statement.bind(1, nullptr);
        statement.bind(2, nullptr);
    }
    statement.bind(3, item);
    return statement.run();
}

// The last movement of the item for FIFO, its first for LIFO: with no stock left in any layer, the
// next scan need not look at anything before (after) it.
Position end_of_item(Core& core, const std::string& item, const Method& method) {
    store::Statement statement(core, method.fifo ? "SELECT created, rowid FROM inventory WHERE itemRecordName = ? "
                                                   "ORDER BY created DESC, rowid DESC LIMIT 1"
                                                 : "SELECT created, rowid FROM inventory WHERE itemRecordName = ? "
                                                   "ORDER BY created ASC, rowid ASC LIMIT 1");
    statement.bind(1, item);
    return statement.step() ? position_of(statement, 0, 1) : Position{};
}

struct Layer {
    std::string record_name;
    double price = 0;
    std::int64_t remaining = 0;
    std::string history;
    Position position;
};

// The next layer with stock left for the method, in the method's order: from `from` on (itself
// included or not), or from the very first when `from` is not set. One row at a time, so that the
// search stops at the layer that satisfies the sale instead of running on through the history.
bool next_layer(Core& core, const std::string& item, const Method& method, const Position& from, bool inclusive,
                Layer& layer, bool without_time = false) {
    std::string sql = std::string("SELECT recordName, price, ") + method.remaining + ", " + method.history +
                      ", created, rowid FROM inventory WHERE itemRecordName = ?1 AND (reason = 'RECEIVE' OR "
                      "reason = 'ADD') AND " +
                      method.remaining + " > 0";
    if (without_time) {
        sql += " AND created IS NULL";
    } else if (from.set) {
        if (method.fifo)
            sql += inclusive ? " AND created >= ?2 AND (created > ?2 OR rowid >= ?3)"
                             : " AND created >= ?2 AND (created > ?2 OR rowid > ?3)";
        else
            sql += inclusive ? " AND created <= ?2 AND (created < ?2 OR rowid <= ?3)"
                             : " AND created <= ?2 AND (created < ?2 OR rowid < ?3)";
    }
    // Equal times keep the order in which the rows were written.
    sql += method.fifo ? " ORDER BY created ASC, rowid ASC LIMIT 1" : " ORDER BY created DESC, rowid DESC LIMIT 1";
    store::Statement statement(core, sql);
    statement.bind(1, item);
    if (from.set && !without_time) {
        statement.bind(2, from.created);
        statement.bind(3, from.row);
    }
    if (!statement.step()) {
        // Rows without a time come last in LIFO order, beyond any position a search starts from.
        return !method.fifo && from.set && !without_time && next_layer(core, item, method, from, inclusive, layer, true);
    }
    layer.record_name = statement.column_text(0);
    layer.price = statement.column_double(1);
    layer.remaining = whole(statement.column_double(2));
    layer.history = statement.column_text(3);
    layer.position = position_of(statement, 4, 5);
    return true;
}

// An unparsable or empty history reads as an empty object.
Json::object history_of(const std::string& text) {
    if (text.empty()) return {};
    return Json::parse(text).object_items();
}

bool update_layer(Core& core, const Method& method, const std::string& record_name, const char* remaining_expression,
                  std::int64_t value, const Json::object& history) {
    const std::string sql = std::string("UPDATE inventory SET ") + method.remaining + " = " + remaining_expression +
                            ", " + method.history + " = ?2, synced = 0 WHERE recordName = ?3";
    store::Statement statement(core, sql);
    statement.bind(1, value);
    statement.bind(2, Json(history).dump());
    statement.bind(3, record_name);
    return statement.run();
}

// Takes `need` units from the item's layers in the method's order and adds their purchase cost to
// `cost`. The part that finds no stock has no cost. False when a write failed.
bool consume(Core& core, const std::string& item, const std::string& document_name, std::int64_t need,
             const Method& method, double& cost) {
    Position from = read_start(core, item, method);
    bool inclusive = true;
    Layer layer;
    while (next_layer(core, item, method, from, inclusive, layer)) {
        const std::int64_t difference = layer.remaining - need;
        const std::int64_t taken = difference >= 0 ? need : layer.remaining;
        Json::object history = history_of(layer.history);
        // A second take by the same document replaces the first.
        history[document_name] = Json(saturated_int(static_cast<double>(taken)));
        if (!update_layer(core, method, layer.record_name, "?1", layer.remaining - taken, history)) return false;
        cost += layer.price * static_cast<double>(taken);
        need -= taken;
        if (difference >= 0) {
            // Nothing before (FIFO) or after (LIFO) this layer has stock left now.
            return write_start(core, item, method, layer.position);
        }
        // This layer is used up; a layer without a usable time drops out of the search by itself.
        if (layer.position.set) {
            from = layer.position;
            inclusive = false;
        }
    }
    // No layer has stock left: the next search can start at the item's latest (FIFO) or earliest
    // (LIFO) movement.
    return write_start(core, item, method, end_of_item(core, item, method));
}

// Gives the layers of the item back what the referenced document took from them (its history
// member, exactly that key), whatever the quantity of the cancelling line. The layers are found
// through the summary's keys (CROSS JOIN fixes that order), not by searching the item's history.
bool give_back(Core& core, const std::string& item, const std::string& reference, const Method& method) {
    struct Taker {
        std::string record_name;
        std::string history;
    };
    std::vector<Taker> takers;
    {
        store::Statement statement(
            core, std::string("SELECT i.recordName, i.") + method.history +
                      " FROM tavrin_layer_keys AS k CROSS JOIN main.inventory AS i ON i.rowid = k.layer WHERE "
                      "k.key = ?1 AND k.item = ?2 AND k.method = ?3 AND +i.itemRecordName = ?2 "
                      "ORDER BY i.created, i.rowid");
        statement.bind(1, reference);
        statement.bind(2, item);
        statement.bind(3, method.key);
        while (statement.step()) takers.push_back({statement.column_text(0), statement.column_text(1)});
    }
    for (const Taker& taker : takers) {
        Json::object history = history_of(taker.history);
        auto found = history.find(reference);
        if (found == history.end()) continue;
        const std::int64_t quantity = whole(found->second.number_value());
        history.erase(found);
        const std::string expression = std::string(method.remaining) + " + ?1";
        if (!update_layer(core, method, taker.record_name, expression.c_str(), quantity, history)) return false;
    }
    return true;
}

// The first movement of the referenced document for the item (its sale row), or an empty object.
// The "+" keeps the planner on the summary's rows instead of walking the item's whole history.
Json::object referenced_row(Core& core, const std::string& reference, const std::string& item) {
    store::Statement statement(core,
                               "SELECT * FROM main.inventory WHERE rowid IN (SELECT row FROM tavrin_document_rows "
                               "WHERE document = ?1 AND item = ?2) AND +documentRecordName = ?1 AND "
                               "+itemRecordName = ?2 ORDER BY created, rowid LIMIT 1");
    statement.bind(1, reference);
    statement.bind(2, item);
    return statement.step() ? statement.row() : Json::object();
}

// Weighted average purchase cost for a sale: the average of the last sale, weighted with the stock
// it left, together with the receipts since.
double average_cost(Core& core, const std::string& item) {
    double last_stock = 0, last_average = 0, last_time = 0;
    {
        store::Statement statement(core,
                                   "SELECT stock, last_avg_purchase_price, created FROM inventory WHERE (reason = "
                                   "'INVOICE' OR reason = 'STORNO') AND itemRecordName = ? ORDER BY created DESC, "
                                   "rowid DESC LIMIT 1");
        statement.bind(1, item);
        if (statement.step()) {
            last_stock = statement.column_double(0);
            last_average = statement.column_double(1);
            last_time = statement.column_double(2);
        }
    }
    if (last_average == 0 && last_stock > 0) {
        // A cancellation or correction row carries no average of its own; the stock it gave back
        // was bought at the average of the sales before it, not for nothing.
        store::Statement statement(core,
                                   "SELECT last_avg_purchase_price FROM inventory WHERE (reason = 'INVOICE' OR "
                                   "reason = 'STORNO') AND itemRecordName = ? AND last_avg_purchase_price <> 0 "
                                   "ORDER BY created DESC, rowid DESC LIMIT 1");
        statement.bind(1, item);
        if (statement.step()) last_average = statement.column_double(0);
    }
    double new_stock = 0, new_price = 0;
    {
        store::Statement statement(core,
                                   "SELECT SUM(quantity), SUM(price * quantity) / SUM(quantity) FROM inventory "
                                   "WHERE (reason = 'RECEIVE' OR reason = 'ADD') AND created > ? AND "
                                   "itemRecordName = ?");
        statement.bind(1, last_time);
        statement.bind(2, item);
        if (statement.step()) {
            new_stock = statement.column_double(0);
            new_price = statement.column_double(1);
        }
    }
    if (new_stock + last_stock > 0)
        return (new_price * new_stock + last_average * last_stock) / (new_stock + last_stock);
    return 0;
}

// A usable exchange rate: finite and above zero. Anything else (absent, 0, text) means forints.
double forint_rate(double rate) { return std::isfinite(rate) && rate > 0 ? rate : 1.0; }

// What one unit of the document's currency is worth in forints: stock is valued in forints whatever
// the currency of the document that moves it. A return is built from a stored movement, whose price
// is already in forints; a cancellation gives back at the rate of the invoice it cancels, so that
// its movements mirror the sale's exactly even when its own rate was fetched on another day.
double posting_rate(Core& core, const Json& document, bool is_return, const std::string& reference) {
    if (is_return) return 1.0;
    if (!reference.empty()) {
        store::Statement statement(core, "SELECT exchange_rate FROM documents WHERE recordName = ?");
        statement.bind(1, reference);
        if (statement.step() && !statement.column_is_null(0)) {
            const double rate = statement.column_double(0);
            if (forint_rate(rate) == rate) return rate;
        }
    }
    return forint_rate(document["exchange_rate"].number_value());
}

std::string note_of(const Json& document) {
    std::string note = normalize_whitespace(document["header_note"].string_value());
    for (char& c : note)
        if (c == '\n') c = ' ';
    return note;
}

}  // namespace

void Core::post_inventory(std::vector<Json> lines, Json document) { post_inventory_checked(lines, document); }

bool Core::post_inventory_checked(const std::vector<Json>& lines, const Json& document) {
    store::Transaction transaction(*this);
    if (!transaction.active() || !ensure_summary(*this)) return false;

    const std::string& document_record_name = document["documentRecordName"].string_value();
    const std::string document_name =
        !document_record_name.empty() ? document_record_name : document["recordName"].string_value();
    const bool is_return = document["reason"].string_value() == "RETURN";
    const bool referenced = !document["reference_recordName"].string_value().empty() || is_return;
    const bool sale = document["type"].string_value() == "INVOICE" || is_return;
    const std::string reference = is_return ? document_record_name : document["reference_recordName"].string_value();
    const std::string note = note_of(document);
    const double rate = posting_rate(*this, document, is_return, reference);

    // A reported invoice's movements are named after its transaction and line: copies of the invoice
    // stored by two installations name them alike, and the sync makes them one.
    const std::string& transaction_id = document["nav_transaction_id"].string_value();
    const bool reported = document["type"].string_value() == "INVOICE" && !transaction_id.empty();
    for (std::size_t position = 0; position < lines.size(); ++position) {
        const Json& line = lines[position];
        const std::string& item = line["itemRecordName"].string_value();
        // Only tracked items are sold from stock.
        if (sale && line["item_type"].string_value() != "INVENTORY_TRACKING") continue;
        if (!ensure_item(*this, item)) return false;
        const std::int64_t stock_before = item_stock(*this, item);

        const double price = line["price"].number_value() * rate;
        const std::int64_t units = whole(line["quantity"].number_value());
        const double whole_units = static_cast<double>(units);
        double average = 0, profit_fifo = 0, profit_lifo = 0, profit_avg = 0, profit_clearing = 0;
        std::string reason;

        if (sale && referenced) {
            // A cancellation or return undoes the referenced sale: its profits negated, its layers refilled.
            const Json referenced_sale(referenced_row(*this, reference, item));
            profit_fifo = -referenced_sale["profit_fifo"].number_value();
            profit_lifo = -referenced_sale["profit_lifo"].number_value();
            profit_avg = -referenced_sale["profit_avg"].number_value();
            profit_clearing = -referenced_sale["profit_clearing"].number_value();
            if (!give_back(*this, item, reference, kFifo) || !give_back(*this, item, reference, kLifo)) return false;
            reason = is_return ? "RETURN" : "STORNO";
        } else if (sale) {
            average = average_cost(*this, item);
            profit_avg = (price - average) * whole_units;
            profit_clearing = (price - line["clearing_price"].number_value()) * whole_units;
            double cost_fifo = 0, cost_lifo = 0;
            if (!consume(*this, item, document_name, units, kFifo, cost_fifo) ||
                !consume(*this, item, document_name, units, kLifo, cost_lifo))
                return false;
            profit_fifo = whole_units * price - cost_fifo;
            profit_lifo = whole_units * price - cost_lifo;
            reason = "INVOICE";
        } else {
            // Receiving or changing stock of an item makes it inventory-tracked.
            bool tracked;
            {
                store::Statement statement(*this, "SELECT recordName FROM items WHERE type = 'INVENTORY_TRACKING' "
                                                  "AND recordName = ?");
                statement.bind(1, item);
                tracked = statement.step();
            }
            if (!tracked && !store::run(*this, "UPDATE items SET type = 'INVENTORY_TRACKING', synced = 0 WHERE "
                                               "recordName = ?",
                                        {item}))
                return false;
            reason = document["reason"].string_value();
            if (reason.empty()) reason = "RECEIVE";
        }

        const std::int64_t signed_units = sale ? -units : units;
        std::string item_name = line["item_name"].string_value();
        if (item_name.empty()) item_name = line["name"].string_value();
        Json::object row{
            {"recordName", reported ? "STOCK-" + transaction_id + "-" + std::to_string(position + 1) : new_record_name()},
            {"documentRecordName", document_name},
            {"clientRecordName", document["clientRecordName"].string_value()},
            {"itemRecordName", item},
            {"created", static_cast<double>(clock_now()) * 1000.0},
            {"number_formatted", document["number_formatted"].string_value()},
            {"client_name", document["client_name"].string_value()},
            {"item_name", item_name},
            {"reason", reason},
            {"issue_date", iso_date(0)},
            {"quantity", static_cast<double>(signed_units)},
            {"remaining_fifo", sale ? 0.0 : static_cast<double>(signed_units)},
            {"remaining_lifo", sale ? 0.0 : static_cast<double>(signed_units)},
            {"remaining_history_fifo", ""},
            {"remaining_history_lifo", ""},
            {"price", reason == "STORNO" || reason == "RETURN" ? -price : price},
            {"last_avg_purchase_price", average},
            {"profit_fifo", profit_fifo},
            {"profit_lifo", profit_lifo},
            {"profit_avg", profit_avg},
            {"profit_clearing", profit_clearing},
            {"stock", static_cast<double>(stock_before + signed_units)},
            {"note", note},
        };
        if (!save_record(std::move(row), "inventory")) return false;
    }
    return transaction.commit();
}

std::string Core::last_purchase_price_text(std::string item_record_name) {
    std::string value = "0";
    auto rows = store::rows(*this,
                            "SELECT price FROM inventory WHERE (reason = 'RECEIVE' OR reason = 'ADD') AND "
                            "itemRecordName = ? ORDER BY created DESC, rowid DESC LIMIT 1",
                            {item_record_name});
    if (rows.size() == 1) value = formatted_num(Json(rows.front())["price"].number_value(), 4);
    return translated("inventory_purchase_price_header", value);
}

std::string Core::stock_quantity_text(std::string item_record_name) {
    auto rows = store::rows(*this, "SELECT SUM(quantity) AS quantity FROM inventory WHERE itemRecordName = ?",
                            {item_record_name});
    const double quantity = rows.empty() ? 0 : Json(rows.front())["quantity"].number_value();
    return translated("inventory_quantity_header", formatted_num(quantity, 4));
}
