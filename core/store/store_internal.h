// Internal tools of the account store, shared by the store, the document, inventory and import code.
//
// Every value that comes from a record, a file, the cloud or the user reaches SQL through these
// bindings, never spliced into the text. A Statement or a Transaction holds the store mutex for its
// whole life, so the connection cannot be closed or replaced under it and no other thread's
// statements can slip into an open transaction.
#pragma once

#include "core/Core.h"

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace store {

// A member of a row or record object, null when it has none (never inserted, unlike operator[]).
inline const json11::Json& member(const json11::Json::object& object, const std::string& name) {
    static const json11::Json none;
    auto found = object.find(name);
    return found == object.end() ? none : found->second;
}

inline constexpr const char* kSchemaVersion = "221101";
// The bank account of a new account's transfer payment method: a sample that names no real account,
// there to show the user where their own goes.
inline constexpr const char* kSampleBankAccount = "BANK 12345678-12345678";

// Settings rows of this installation alone, written with synced = -1: the change token and own
// uploads, the report under way and the latest settled ones, the accounting uploads owed and those
// taken whose mark is still to say so, the renumberings and the drafts kept of unsent invoices not yet
// shown. No upload sends them and no download writes them.
inline constexpr const char* kPendingReportRow = "nav_pending";
inline constexpr const char* kSettledReportsRow = "nav_settled";
inline constexpr const char* kCashbookRow = "cashbook_pending";
inline constexpr const char* kCashbookAcceptedRow = "cashbook_accepted";
inline constexpr const char* kRenumberedRow = "renumbered";
inline constexpr const char* kKeptDraftsRow = "nav_kept_drafts";
inline constexpr std::array<std::string_view, 7> kLocalSettings = {
    "local", kPendingReportRow, kSettledReportsRow, kCashbookRow, kCashbookAcceptedRow, kRenumberedRow, kKeptDraftsRow};
bool is_local_setting(std::string_view name);

// Whether two rows of the documents table are one and the same document. A record name alone does
// not tell: two installations number their documents of a type independently. A document keeps the
// `created` of its first save and an id of its own given then (`document_id`) through every edit,
// upload and download: two installations may make a document of one type in the same second, never
// under one id. Where either lacks the id (a row or record of an older version), the time alone
// tells; where `created` is unknown on either side, they count as one (as before this test existed).
// A web-shop order and an archived invoice are named after the order and the invoice, so their name
// is their identity.
bool same_document(const json11::Json::object& first, const json11::Json::object& second);
// The text of what tells a document from another of its type and name by same_document's time and id
// rule, alike on every installation: its `created`, and its id where it has one.
std::string document_identity(const json11::Json::object& document);

// The pieces of a document that change apart: the paid mark, the reporting status, the notes, and
// the lines with everything else the document holds. A local save gives each piece it changes the
// time of the save, a paid mark the paid piece; the times are kept in the document's
// `piece_modified` (a JSON object, milliseconds by piece name) and travel with its record. Where two
// copies of one invoice meet, each piece comes from the copy where it changed last.
enum class Piece { paid, status, notes, lines };
inline constexpr std::array<Piece, 4> kPieces = {Piece::paid, Piece::status, Piece::notes, Piece::lines};
// Each piece's last change, indexed by the piece.
using PieceTimes = std::array<double, kPieces.size()>;
// Whether a column of the documents table belongs to a piece. The lines piece holds every column that
// no other piece holds, except the document's name, identity, times, upload mark and search text.
bool in_piece(Piece piece, const std::string& column);
// Whether two documents (their rows, and their lines as rows of document_lines) hold a piece alike.
bool same_piece(Piece piece, const json11::Json::object& first, const std::vector<json11::Json::object>& first_lines,
                const json11::Json::object& second, const std::vector<json11::Json::object>& second_lines);
// A document's piece times as stored; a piece without one (a row or record of an older version) last
// changed at the document's `modified`, the latest change it can have had.
PieceTimes piece_times(const json11::Json::object& document);
// The text `piece_modified` holds for the times.
std::string piece_times_text(const PieceTimes& times);

// A record name that no stored document has (nor, `deleted_too`, a deletion still to be uploaded):
// `proposed` itself when free, else, `numbered`, with the next free number in its last dash-separated
// part, otherwise with a suffix "-2", "-3"...
std::string free_record_name(Core& core, const std::string& proposed, bool numbered, bool deleted_too = false);

// Records the local deletion of a record for the upload, in the caller's transaction and before its
// row goes. A document's tombstone keeps the change tag of the cloud copy it deletes, so that the
// deletion reaches that copy and no other: one that had none keeps the tag of the deleted document
// it took the name of. False when the write failed.
bool add_tombstone(Core& core, const std::string& record_name);
// The change tag that the tombstone of a name deletes (empty when none is known); none without a
// tombstone.
std::optional<std::string> tombstone_tag(Core& core, const std::string& record_name);
// The cloud's copy that a tombstone deletes is known to be the one of `change_tag` (this
// installation's own upload, which the deletion was made on). False when the write failed.
bool set_tombstone_tag(Core& core, const std::string& record_name, const std::string& change_tag);

// Moves a stored document out of the way of a different document that holds its record name in the
// cloud (in the caller's transaction): it takes the next free number of its type, with its lines, its
// stock rows and the documents and local rows referring to it, and goes up as a new record. An invoice
// reported to the tax authority, an archived invoice and a web-shop order keep their number (known
// outside the program) and take a free record name. The user is told of the new number
// (Core::take_renumbered_documents). Gives the document as it now stands, none when a write failed.
std::optional<json11::Json::object> move_document_aside(Core& core, const json11::Json::object& document);

// What names a document follows it from `from` to `to` (in the caller's transaction): the documents
// that refer to it, its stock rows and the layers' records of what it took, the accounting upload
// owed and the record of a settled report (a list of them names `to` once). A reference or stock row
// that showed `old_number` shows `new_number`. False when a write failed.
bool follow_document(Core& core, const std::string& from, const std::string& to, const std::string& old_number,
                     const std::string& new_number);

// Marks a document paid (1) or unpaid (0) as an edit of it: it goes up, and the time of its paid
// piece tells which of two copies' marks is the later where they meet. Nothing when it holds that
// mark already. False when the write failed.
bool mark_paid(Core& core, const std::string& record_name, int paid);
// Stores the reporting status the tax authority gave a document as an edit of its status piece: it
// goes up, and the piece's time goes with it. False when the write failed.
bool give_report_status(Core& core, const std::string& record_name, const std::string& status);
// A status the authority gave is never replaced by none: `row` (a document about to be written over
// `other`, one and the same document) takes `other`'s status and the time of its status piece when it
// has none of its own. True when it took them.
bool keep_given_status(json11::Json::object& row, const json11::Json::object& other);

// The record name a new document is proposed: a reported invoice's comes from its own number and
// year of issue, which every installation that stores it knows alike ("INVOICE-2026-000007"), and
// when a stored document holds that name, from that name and its transaction alike
// ("INVOICE-2026-000007-<transaction>"); any other document's from the numbering
// (Core::new_document_record_name).
std::string proposed_record_name(Core& core, const json11::Json::object& document);

// The record name a reported invoice moves to when a different document holds its name in the
// cloud: its name by number followed by its transaction, alike on every installation. Any other
// document (and an invoice without a number or date of issue) keeps its own name to start from.
std::string reported_name_aside(const json11::Json::object& document);

// Makes the copies of one reported invoice that this store holds under two or more record names one
// (in the caller's transaction): every installation keeps the same copy, the one named by its number
// and year, else the one named beside that, else the one of the least name. The kept copy goes on
// with each piece of the copy where that piece changed last and with a reporting status either had;
// each other copy goes as a local deletion would (its tombstone takes it from the cloud too), its
// stock rows that double the kept ones' with it and its takes from the stock layers given back where
// the kept copy took the same item, and what named it follows the kept one. False when a write
// failed.
bool merge_reported_copies(Core& core);

// The rule for a downloaded deletion against an edit not yet uploaded, where the document is a copy
// of a reported invoice: the deletion is another installation's merge of the copies, which keeps
// another copy of the transaction in the cloud. The copy changed here stays for this store's own
// merge, which takes its work to the kept copy piece by piece; that copy may come after the deletion
// (a change download lists each record at its latest change, so a kept copy changed after the merge
// comes later), and a whole download brings it before the merge runs. Should the cloud hold no other
// copy, the edit goes up again as the invoice's only copy. True when the deletion leaves the document.
bool awaits_merge(Core& core, const json11::Json::object& document);

// The seven CREATE TABLE statements, as one text.
const char* schema_text();
// CREATE INDEX IF NOT EXISTS statements, one per text, run after the schema.
const std::vector<std::string>& index_texts();
// The database file this store writes, told from any other on this computer: a copy of the data
// folder, or one restored from a backup, is another file. Empty when it cannot be told.
std::string file_identity(Core& core);
// Where that file lies (its full path); empty when no database is open.
std::string file_path(Core& core);
// Adds the columns that came after the schema text to a file that lacks them (a new one too), in one
// transaction; true when every one is there.
bool add_missing_columns(Core& core);
// The settings rows of a new database, in the order they are inserted: section key and JSON text.
std::vector<std::pair<std::string, std::string>> default_settings(Core& core);

// Money amounts a document may hold stay below 13 digits before the point: only below 2^44 (about
// 1.76e13) do neighbouring doubles lie at most a fifth of a fillér apart, so that an amount keeps its
// fillér however it was computed.
inline constexpr double kLargestAmount = 1e13;

// A sum of money amounts in whole fillér (cents_of each), exact however many are added. An amount at
// or beyond kLargestAmount (stored by an earlier version, or come from the cloud) has no fillér to
// add: a sum that takes one in has no exact value, rather than a wrong one.
class CentsSum {
public:
    // Adds (sign 1) or takes away (sign -1) a money amount.
    void add(double amount, int sign = 1);
    // Adds a sum already in whole fillér; none for one that has no exact value.
    void add_sum(std::optional<std::int64_t> cents);
    // The sum; none when an amount had no fillér or the sum does not fit 64 bits.
    std::optional<std::int64_t> value() const;

private:
    __int128 cents_ = 0;
    std::int64_t inexact_ = 0;  // amounts without a fillér, less those taken away again
};

// The store's own SQL functions, registered on every connection it opens: among them
// tavrin_cents(amount), the CentsSum of money amounts (NULLs left out), and
// tavrin_cents_total(cents), the sum of sums already in whole fillér (a NULL one has no exact
// value); each gives NULL for a sum that has no exact value.
void register_functions(sqlite3* db);
// Makes the per-connection summary of the documents (temp table tavrin_document_totals, kept by
// triggers) ready and current; false when it cannot be used.
bool ensure_document_totals(Core& core);

// UTF-16 form of a UTF-8 text; a malformed sequence becomes U+FFFD.
std::u16string utf16_from_utf8(std::string_view text);

// A value for a LIKE pattern used with ESCAPE '\': '%', '_' and '\' are escaped.
std::string like_escaped(std::string_view value);

// A table or column name as an SQL identifier, in double quotes.
std::string quoted_identifier(std::string_view name);

// One row of the current statement in the shape of Core::query: TEXT as a string, INTEGER and FLOAT as
// a double, NULL as null, BLOB left out; a later column replaces an earlier one of the same name. With
// wide_name, a TEXT column called `name` also gives `wname`, its UTF-16 form.
json11::Json::object row_of(sqlite3_stmt* stmt, bool wide_name);

// A prepared statement on the current connection. Parameters count from 1; a named parameter is
// given with its prefix (":name", "@name", "$name") or without it (":" is then assumed). On a closed
// store or an SQL text that does not prepare, every call does nothing and the statement yields no
// rows.
class Statement {
public:
    Statement(Core& core, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // True when the text prepared.
    bool ok() const { return stmt_ != nullptr; }

    // A JSON value binds by its kind: a string as text, a number as an integer when it is whole and
    // fits 64 bits (otherwise as a double), a boolean as 1 or 0, null as NULL, a wide string as text,
    // an array or object as its JSON text.
    Statement& bind(int index, const json11::Json& value);
    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, const std::string& text) { return bind(index, std::string_view(text)); }
    Statement& bind(int index, const char* text) { return bind(index, std::string_view(text)); }
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }
    Statement& bind(int index, double value);
    Statement& bind(int index, bool value) { return bind(index, static_cast<std::int64_t>(value ? 1 : 0)); }
    Statement& bind(int index, std::nullptr_t);
    template <class T>
    Statement& bind(std::string_view name, T&& value) {
        return bind(parameter_index(name), std::forward<T>(value));
    }
    // Binds the values to the parameters 1, 2, ... in order.
    Statement& bind_all(std::initializer_list<json11::Json> values);
    // 0 when the statement has no parameter of that name.
    int parameter_index(std::string_view name) const;

    // Steps once: true when a row is ready.
    bool step();
    // The current row (after step() gave true).
    json11::Json::object row(bool wide_name = false) const;
    // Steps through every remaining row.
    std::vector<json11::Json::object> rows(bool wide_name = false);
    // Runs the statement to its end: true when it finished without error.
    bool run();
    // Makes the statement ready to run again, with its bindings cleared.
    void reset();

    // Typed reads of the current row's columns, counted from 0.
    int column_count() const;
    bool column_is_null(int column) const;
    std::int64_t column_int64(int column) const;
    double column_double(int column) const;
    std::string column_text(int column) const;

    // The result code of the last prepare or step.
    int result() const { return rc_; }
    sqlite3_stmt* handle() const { return stmt_; }

private:
    std::unique_lock<std::recursive_mutex> lock_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// A column of the current row that holds a sum in whole hundredths (tavrin_cents, tavrin_cents_total):
// none when NULL, the sum having no exact value.
std::optional<std::int64_t> sum_column(const Statement& statement, int column);

// Rows of one statement with bound values, in the shape of Core::query.
std::vector<json11::Json::object> rows(Core& core, std::string_view sql, std::initializer_list<json11::Json> values = {});
// Runs one statement with bound values; true when it finished without error.
bool run(Core& core, std::string_view sql, std::initializer_list<json11::Json> values = {});

// Writes rows of one table through one prepared statement (INSERT OR REPLACE), each column bound by
// its declared type: a text column takes a text member (any other member as ""), a whole-number
// column a number saturated to its range, a boolean as 1 or 0; a column of another type, and one the
// record lacks a member for, NULL. Many rows are not worth one statement compile each.
class RowWriter {
public:
    RowWriter(Core& core, const std::string& table);
    // False when the table is unknown or the statement did not prepare.
    bool ok() const { return statement_ && statement_->ok(); }
    // The record must stay unchanged until the call returns: its texts are bound without a copy.
    bool write(const json11::Json::object& record);

    enum class Kind { text, integer, big_integer, real, other };

private:
    struct Column {
        std::string name;
        Kind kind;
        std::size_t index;
    };
    std::vector<Column> columns_;
    std::optional<Statement> statement_;
};

// A client, item or stock row carries the text the lists search in.
void add_search_text(const std::string& table, json11::Json::object& record);

// Row writers of the tables a batch of rows goes to, each made at the table's first row; every row gets
// its search text as Core::save_record gives it.
class TableWriters {
public:
    explicit TableWriters(Core& core) : core_(core) {}
    bool write(const std::string& table, json11::Json::object& record);

private:
    Core& core_;
    std::map<std::string, RowWriter> writers_;
};

// One transaction on the store: BEGIN IMMEDIATE when none is open, a SAVEPOINT inside an open one.
// Holds the store mutex until it ends; rolls back unless committed. A transaction begun on a closed
// store (or that could not begin) is inactive and commits nothing.
class Transaction {
public:
    explicit Transaction(Core& core);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool active() const { return open_; }
    // Both end the transaction and let go of the store mutex.
    // True when the work is kept: committed, or for a savepoint released into the enclosing transaction.
    bool commit();
    void rollback();

private:
    Core& core_;
    std::unique_lock<std::recursive_mutex> lock_;
    sqlite3* db_ = nullptr;
    bool nested_ = false;
    bool open_ = false;
};

}  // namespace store
