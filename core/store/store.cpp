// The account store: opening the account's database file, queries, settings reads and record writes.
#include "core/store/store_internal.h"

#include <unicode/ucol.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using json11::Json;

// ---------------------------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------------------------

namespace store {

std::u16string utf16_from_utf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int length = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, cp = c & 0x1F, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, cp = c & 0x0F, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, cp = c & 0x07, min = 0x10000;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        int taken = 1;
        while (taken < length && i + taken < n && (p[i + taken] & 0xC0) == 0x80) {
            cp = (cp << 6) | (p[i + taken] & 0x3F);
            ++taken;
        }
        if (taken < length || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // One replacement for the broken sequence; resume at the byte that broke it.
            out.push_back(0xFFFD);
            i += taken;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += length;
    }
    return out;
}

std::string like_escaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '%' || c == '_' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string quoted_identifier(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

namespace {

// Builds the rows of one statement. The members are inserted in key order, worked out once per
// statement, and a value equal to the one the same column gave in the row before shares that row's
// value instead of a new copy (lists repeat codes, empty texts and zeros in every row).
class RowBuilder {
public:
    RowBuilder(sqlite3_stmt* stmt, bool wide_name) {
        const int count = sqlite3_column_count(stmt);
        for (int i = 0; i < count; ++i) {
            const char* column = sqlite3_column_name(stmt, i);
            std::string name = column ? column : "";
            if (wide_name && name == "name") plan_.push_back({"wname", i, true});
            plan_.push_back({std::move(name), i, false});
        }
        // Equal names keep column order, so that the later column wins.
        std::stable_sort(plan_.begin(), plan_.end(), [](const Entry& a, const Entry& b) {
            return a.name != b.name ? a.name < b.name : a.column < b.column;
        });
        last_.resize(static_cast<std::size_t>(count));
        last_wide_.resize(static_cast<std::size_t>(count));
        fresh_.resize(static_cast<std::size_t>(count));
    }

    Json::object next(sqlite3_stmt* stmt) {
        for (std::size_t i = 0; i < fresh_.size(); ++i) fresh_[i] = kUnread;
        Json::object row;
        for (const Entry& entry : plan_) {
            const Json* value = entry.wide ? wide_value(stmt, entry.column) : plain_value(stmt, entry.column);
            if (!value) continue;  // BLOB, or `name` not a text: no member
            if (!row.empty() && std::prev(row.end())->first == entry.name)
                std::prev(row.end())->second = *value;
            else
                row.emplace_hint(row.end(), entry.name, *value);
        }
        return row;
    }

private:
    struct Entry {
        std::string name;
        int column;
        bool wide;
    };
    enum Read : unsigned char { kUnread, kAbsent, kPresent };

    const Json* plain_value(sqlite3_stmt* stmt, int column) {
        auto c = static_cast<std::size_t>(column);
        if (fresh_[c] == kUnread) read(stmt, column);
        return fresh_[c] == kPresent ? &last_[c] : nullptr;
    }

    const Json* wide_value(sqlite3_stmt* stmt, int column) {
        auto c = static_cast<std::size_t>(column);
        if (fresh_[c] == kUnread) read(stmt, column);
        if (fresh_[c] != kPresent || !last_[c].is_string()) return nullptr;
        if (last_wide_[c].is_null()) last_wide_[c] = Json(utf16_from_utf8(last_[c].string_value()));
        return &last_wide_[c];
    }

    void read(sqlite3_stmt* stmt, int column) {
        auto c = static_cast<std::size_t>(column);
        fresh_[c] = kPresent;
        switch (sqlite3_column_type(stmt, column)) {
            case SQLITE_TEXT: {
                const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
                std::string_view text(bytes ? bytes : "", bytes ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)) : 0);
                if (last_[c].is_string() && last_[c].string_value() == text) return;
                last_[c] = Json(std::string(text));
                last_wide_[c] = Json();
                return;
            }
            case SQLITE_INTEGER:
            case SQLITE_FLOAT: {
                double number = sqlite3_column_double(stmt, column);
                if (last_[c].is_number()) {
                    double before = last_[c].number_value();
                    if (std::memcmp(&before, &number, sizeof number) == 0) return;
                }
                last_[c] = Json(number);
                return;
            }
            case SQLITE_NULL:
                last_[c] = Json();
                return;
            default:  // BLOB
                fresh_[c] = kAbsent;
                return;
        }
    }

    std::vector<Entry> plan_;
    std::vector<Json> last_;
    std::vector<Json> last_wide_;
    std::vector<Read> fresh_;
};

}  // namespace

Json::object row_of(sqlite3_stmt* stmt, bool wide_name) { return RowBuilder(stmt, wide_name).next(stmt); }

// ---------------------------------------------------------------------------------------------
// Statement and transaction
// ---------------------------------------------------------------------------------------------

namespace {

// Whether a statement may create, change or drop a table, so that cached column lists go stale.
bool may_change_tables(std::string_view sql) {
    std::size_t i = 0;
    while (i < sql.size() && (sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\r' || sql[i] == '\n')) ++i;
    auto starts = [&](std::string_view word) {
        if (sql.size() - i < word.size()) return false;
        for (std::size_t k = 0; k < word.size(); ++k) {
            char c = sql[i + k];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (c != word[k]) return false;
        }
        return true;
    };
    return !starts("SELECT") && !starts("INSERT") && !starts("UPDATE") && !starts("DELETE") && !starts("REPLACE") &&
           !starts("WITH") && !starts("PRAGMA") && !starts("BEGIN") && !starts("COMMIT") && !starts("END") &&
           !starts("SAVEPOINT") && !starts("RELEASE") && !starts("ROLLBACK");
}

}  // namespace

Statement::Statement(Core& core, std::string_view sql) : lock_(core.store_mutex) {
    if (!core.db) {
        rc_ = SQLITE_MISUSE;
        return;
    }
    if (may_change_tables(sql)) core.store_columns.clear();
    rc_ = sqlite3_prepare_v2(core.db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc_ != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int index, const Json& value) {
    if (!stmt_) return *this;
    switch (value.type()) {
        case Json::NUL:
            return bind(index, nullptr);
        case Json::NUMBER: {
            double d = value.number_value();
            if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
                return bind(index, static_cast<std::int64_t>(d));
            return bind(index, d);
        }
        case Json::BOOL:
            return bind(index, value.bool_value());
        case Json::STRING:
            return bind(index, std::string_view(value.string_value()));
        case Json::WSTRING: {
            const std::u16string& text = value.wstring_value();
            sqlite3_bind_text16(stmt_, index, text.data(), static_cast<int>(text.size() * sizeof(char16_t)),
                                SQLITE_TRANSIENT);
            return *this;
        }
        default:
            return bind(index, std::string_view(value.dump()));
    }
}

Statement& Statement::bind(int index, std::string_view text) {
    // The explicit length keeps a text with a NUL byte whole; an empty view still binds a text, not NULL.
    if (stmt_) sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "", static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
}

Statement& Statement::bind(int index, std::int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

Statement& Statement::bind(int index, double value) {
    if (stmt_) sqlite3_bind_double(stmt_, index, value);
    return *this;
}

Statement& Statement::bind(int index, std::nullptr_t) {
    if (stmt_) sqlite3_bind_null(stmt_, index);
    return *this;
}

Statement& Statement::bind_all(std::initializer_list<Json> values) {
    int index = 1;
    for (const Json& value : values) bind(index++, value);
    return *this;
}

int Statement::parameter_index(std::string_view name) const {
    if (!stmt_ || name.empty()) return 0;
    std::string full(name);
    if (full[0] != ':' && full[0] != '@' && full[0] != '$' && full[0] != '?') full.insert(0, 1, ':');
    return sqlite3_bind_parameter_index(stmt_, full.c_str());
}

bool Statement::step() {
    if (!stmt_) return false;
    rc_ = sqlite3_step(stmt_);
    return rc_ == SQLITE_ROW;
}

Json::object Statement::row(bool wide_name) const { return stmt_ ? row_of(stmt_, wide_name) : Json::object(); }

std::vector<Json::object> Statement::rows(bool wide_name) {
    std::vector<Json::object> out;
    if (!stmt_) return out;
    RowBuilder builder(stmt_, wide_name);
    while (step()) out.push_back(builder.next(stmt_));
    return out;
}

bool Statement::run() {
    if (!stmt_) return false;
    while (step()) {
    }
    return rc_ == SQLITE_DONE;
}

void Statement::reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    rc_ = SQLITE_OK;
}

int Statement::column_count() const { return stmt_ ? sqlite3_column_count(stmt_) : 0; }

bool Statement::column_is_null(int column) const {
    return !stmt_ || sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::column_int64(int column) const { return stmt_ ? sqlite3_column_int64(stmt_, column) : 0; }

double Statement::column_double(int column) const { return stmt_ ? sqlite3_column_double(stmt_, column) : 0.0; }

std::string Statement::column_text(int column) const {
    if (!stmt_) return {};
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!bytes) return {};
    return std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

std::vector<Json::object> rows(Core& core, std::string_view sql, std::initializer_list<Json> values) {
    Statement statement(core, sql);
    statement.bind_all(values);
    return statement.rows();
}

bool run(Core& core, std::string_view sql, std::initializer_list<Json> values) {
    Statement statement(core, sql);
    statement.bind_all(values);
    return statement.run();
}

bool is_local_setting(std::string_view name) {
    return std::find(kLocalSettings.begin(), kLocalSettings.end(), name) != kLocalSettings.end();
}

namespace {

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

}  // namespace

Transaction::Transaction(Core& core) : core_(core), lock_(core.store_mutex), db_(core.db) {
    if (!db_) return;
    // A transaction belongs to the connection, not the thread; the mutex keeps other threads out of it.
    nested_ = sqlite3_get_autocommit(db_) == 0;
    open_ = exec(db_, nested_ ? "SAVEPOINT tavrin_store" : "BEGIN IMMEDIATE") == SQLITE_OK;
}

Transaction::~Transaction() { rollback(); }

bool Transaction::commit() {
    bool kept = false;
    if (open_ && core_.db == db_) {
        if (nested_) {
            kept = exec(db_, "RELEASE tavrin_store") == SQLITE_OK;
        } else {
            kept = exec(db_, "COMMIT") == SQLITE_OK;
            if (!kept && !sqlite3_get_autocommit(db_)) exec(db_, "ROLLBACK");
        }
    }
    open_ = false;
    if (lock_.owns_lock()) lock_.unlock();
    return kept;
}

void Transaction::rollback() {
    if (open_ && core_.db == db_) {
        if (nested_) {
            exec(db_, "ROLLBACK TO tavrin_store");
            exec(db_, "RELEASE tavrin_store");
        } else if (!sqlite3_get_autocommit(db_)) {
            exec(db_, "ROLLBACK");
        }
    }
    open_ = false;
    if (lock_.owns_lock()) lock_.unlock();
}

}  // namespace store

// ---------------------------------------------------------------------------------------------
// Name order
// ---------------------------------------------------------------------------------------------

namespace {

// Accented and other non-ASCII letters are placed among the ASCII letters and digits ("anchors") by the
// collator of the user's locale: a unit that the collator finds equal to an anchor sorts with it, any
// other between its neighbouring anchors, ordered there by the collator. Each unit thus gets one fixed
// place, which keeps the order transitive even where ASCII code order and the collator disagree.
class NameCollation {
public:
    static NameCollation& instance() {
        static NameCollation collation;
        return collation;
    }

    // <0, 0 or >0 for two different code units.
    int compare(char16_t x, char16_t y) {
        if ((x < 0x80 && y < 0x80) || !collator_) return static_cast<int>(folded(x)) - static_cast<int>(folded(y));
        unsigned kx = key(x);
        unsigned ky = key(y);
        if (kx != ky) return kx < ky ? -1 : 1;
        if ((kx & 1) == 0) return 0;  // both equal to the same anchor
        return collate(x, y);
    }

private:
    NameCollation() {
        UErrorCode status = U_ZERO_ERROR;
        collator_ = ucol_open(locale_name().c_str(), &status);
        if (U_FAILURE(status) || !collator_) {
            if (collator_) ucol_close(collator_);
            collator_ = nullptr;
            return;
        }
        // Case-blind, accent-aware.
        ucol_setStrength(collator_, UCOL_SECONDARY);
        // Keep only anchors that the collator orders as their codes do (true for a-z in most locales).
        for (char16_t c : std::u16string(u"0123456789abcdefghijklmnopqrstuvwxyz")) {
            if (anchors_.empty() || collate(anchors_.back(), c) < 0) anchors_.push_back(c);
        }
    }
    ~NameCollation() {
        if (collator_) ucol_close(collator_);
    }

    static std::string locale_name() {
        for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
            const char* value = std::getenv(variable);
            if (!value || !*value) continue;
            std::string name = value;
            name = name.substr(0, name.find_first_of(".@"));
            if (name.empty() || name == "C" || name == "POSIX") break;
            return name;
        }
        return "hu";
    }

    static char16_t folded(char16_t c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c - 'A' + 'a') : c; }

    int collate(char16_t x, char16_t y) {
        std::lock_guard<std::mutex> lock(mutex_);
        UCollationResult result = ucol_strcoll(collator_, &x, 1, &y, 1);
        return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
    }

    // Place of a unit: twice the folded code of its anchor (or of the ASCII unit itself), plus one when
    // it sorts after that anchor rather than with it. Units before every anchor sit just below '0'.
    unsigned key(char16_t c) {
        if (c < 0x80) return static_cast<unsigned>(folded(c)) << 1;
        unsigned cached = keys_[c].load(std::memory_order_relaxed);
        if (cached) return cached - 1;
        std::size_t low = 0, high = anchors_.size();  // anchors_[0, low) are <= c
        while (low < high) {
            std::size_t mid = (low + high) / 2;
            if (collate(anchors_[mid], c) <= 0)
                low = mid + 1;
            else
                high = mid;
        }
        unsigned result;
        if (low == 0)
            result = (static_cast<unsigned>('0' - 1) << 1) | 1;
        else
            result = (static_cast<unsigned>(anchors_[low - 1]) << 1) | (collate(anchors_[low - 1], c) == 0 ? 0u : 1u);
        keys_[c].store(static_cast<std::uint16_t>(result + 1), std::memory_order_relaxed);
        return result;
    }

    UCollator* collator_ = nullptr;
    std::mutex mutex_;
    std::u16string anchors_;
    std::array<std::atomic<std::uint16_t>, 65536> keys_;
};

const std::u16string& wide_name_of(const Json::object& row) {
    static const std::u16string empty;
    auto found = row.find("wname");
    return found == row.end() ? empty : found->second.wstring_value();
}

char16_t folded_ascii(char16_t c) { return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c - 'A' + 'a') : c; }

// Both texts end at their first NUL, as the terminated texts of the original comparison did.
bool less_wide(const std::u16string& x, const std::u16string& y) {
    for (std::size_t i = 0;; ++i) {
        char16_t cx = i < x.size() ? x[i] : 0;
        char16_t cy = i < y.size() ? y[i] : 0;
        if (cx == cy) {
            if (cx == 0) return false;
            continue;
        }
        int order = cx < 0x80 && cy < 0x80 ? static_cast<int>(folded_ascii(cx)) - static_cast<int>(folded_ascii(cy))
                                           : NameCollation::instance().compare(cx, cy);
        if (order != 0) return order < 0;
        if (cx == 0 || cy == 0) return false;
    }
}

// The same order as std::stable_sort with less_by_wname, without looking up `wname` in every comparison.
void sort_by_wide_name(std::vector<Json::object>& rows) {
    std::vector<std::pair<const std::u16string*, std::size_t>> order;
    order.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) order.emplace_back(&wide_name_of(rows[i]), i);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return less_wide(*a.first, *b.first); });
    std::vector<Json::object> sorted;
    sorted.reserve(rows.size());
    for (const auto& entry : order) sorted.push_back(std::move(rows[entry.second]));
    rows.swap(sorted);
}

}  // namespace

bool less_by_wname(const Json::object& a, const Json::object& b) { return less_wide(wide_name_of(a), wide_name_of(b)); }

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------

namespace {

// Names that could leave the data folder, or name no file at all, are refused.
bool usable_account_name(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Copies a file byte for byte and makes sure the copy is complete and on disk. On failure no partial
// target is left behind.
bool copy_file_checked(const std::string& from, const std::string& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat source;
    if (fstat(in, &source) != 0 || !S_ISREG(source.st_mode)) {
        ::close(in);
        return false;
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    off_t copied = 0;
    char buffer[65536];
    while (ok) {
        ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        for (ssize_t done = 0; ok && done < got;) {
            ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) ok = false;
            else done += put;
        }
        copied += got;
    }
    ::close(in);
    struct stat target;
    if (ok && (fsync(out) != 0 || fstat(out, &target) != 0 || target.st_size != source.st_size ||
               copied != source.st_size))
        ok = false;
    if (::close(out) != 0) ok = false;
    if (!ok) unlink(to.c_str());
    return ok;
}

// The backup folder inside the data folder ("tmp" and the folder's own separator), created when
// missing; empty when it cannot be made.
std::string backup_folder(const std::string& data_folder) {
    const char separator = data_folder.empty() ? '/' : data_folder.back();
    const std::string folder = data_folder + "tmp" + separator;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 && mkdir(folder.c_str(), 0777) != 0) return {};
    return folder;
}

std::string backup_stamp() {
    const std::time_t now = clock_now();
    std::tm local{};
    localtime_r(&now, &local);
    return format_time(local, "%y%m%d%H%M%S");
}

enum class FileState { sound, damaged, unknown };

// SQLite's quick check of an open file. Damaged when it reports any problem or when the file is no
// database at all; other failures (a lock held too long, no memory) say nothing about the file.
FileState file_state(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr);
    int rows = 0;
    bool ok = false;
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            ok = ++rows == 1 && text && std::strcmp(text, "ok") == 0;
        }
    }
    sqlite3_finalize(stmt);
    if (rc == SQLITE_DONE) return ok && rows == 1 ? FileState::sound : FileState::damaged;
    rc &= 0xff;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB ? FileState::damaged : FileState::unknown;
}

// The shipped sample files: a missing source gives an empty target, which opens as a new database.
void copy_sample(const std::string& from, const std::string& to) {
    if (copy_file_checked(from, to)) return;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out >= 0) ::close(out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Core: the store
// ---------------------------------------------------------------------------------------------

void Core::open_database() {
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    open_account_file(true);
    remove_leftover_files();
}

void Core::close_database() {
    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    store_columns.clear();
    if (db) sqlite3_close_v2(db);
    db = nullptr;
}

// Opens (or creates) the current account's file. An out-of-date file is rebuilt at most once per
// open: may_rebuild is false on the open that follows a rebuild. A damaged file is set aside at most
// once per open: check_file is false on the open that follows.
void Core::open_account_file(bool may_rebuild, bool check_file) {
    close_database();
    if (!usable_account_name(current_account)) current_account = "DEMO";

    const std::string demo = data_folder + "DEMO.tvr";
    struct stat st;
    if (stat(demo.c_str(), &st) != 0) {
        copy_sample(app_folder + "DEMO_" + language + ".tvr", demo);
        copy_sample(app_folder + "DEMOlogo", data_folder + "DEMOlogo");
    }

    const std::string path = data_folder + current_account + ".tvr";
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::fprintf(stderr, "Tavrin: cannot open the account database %s: %s\n", path.c_str(),
                     handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        sqlite3_close(handle);
        std::exit(1);
    }
    // Another instance of the program may hold the file for a moment.
    sqlite3_busy_timeout(handle, 5000);
    if (check_file && file_state(handle) == FileState::damaged) {
        // Writing on into a damaged file would spread the damage and sync it to the cloud.
        sqlite3_close(handle);
        set_aside_damaged_file(path);
        open_account_file(may_rebuild, false);
        return;
    }
    // The summaries that the store keeps per connection are temp tables written by triggers with
    // every document or stock movement; held in a file, each of those writes reached the disk.
    sqlite3_exec(handle, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);
    store::register_functions(handle);
    db = handle;

    if (query("SELECT * FROM sqlite_master WHERE type = 'table' AND name = 'settings'").empty()) {
        store::Transaction transaction(*this);
        query(store::schema_text());
        for (const std::string& index : store::index_texts()) query(index);
        bool first = true;
        for (const auto& [key, value] : store::default_settings(*this)) {
            // The local row is never uploaded; the others take the column default 0, so they are.
            if (first)
                store::run(*this, "INSERT INTO settings(recordName, value, synced) VALUES (?, ?, -1)", {key, value});
            else
                store::run(*this, "INSERT INTO settings(recordName, value) VALUES (?, ?)", {key, value});
            first = false;
        }
        transaction.commit();
    }

    const Json version = setting("local")["db_ver"];
    if (!version.is_string() || version.string_value() != store::kSchemaVersion) {
        if (may_rebuild) {
            rebuild_account_file();
            return;
        }
        // Rebuilding again would loop: a shipped sample of another version, or settings that could not
        // be written. Keep what is open.
        std::fprintf(stderr, "Tavrin: the account database %s is still out of date after its rebuild\n", path.c_str());
        return;
    }
    // Files made before the indexes or the later columns existed get them too.
    for (const std::string& index : store::index_texts()) query(index);
    if (!store::add_missing_columns(*this))
        std::fprintf(stderr, "Tavrin: the account database %s could not take its new columns\n", path.c_str());
}

// Replaces an out-of-date database: the account's file is backed up (the sample's is not), deleted and
// made anew. The file is only deleted once its backup is complete.
bool Core::rebuild_account_file() {
    std::puts("SILENT DATABASE UPDATE");
    std::fflush(stdout);
    close_database();
    if (current_account != "DEMO") {
        const std::string folder = backup_folder(data_folder);
        if (folder.empty()) return false;
        const std::string backup = folder + backup_stamp() + "_" + current_account + ".tvr";
        const std::string path = data_folder + current_account + ".tvr";
        if (!copy_file_checked(path, backup)) {
            std::fprintf(stderr, "Tavrin: the account database %s could not be backed up; it is kept as it is\n",
                         path.c_str());
            return false;
        }
        unlink(path.c_str());
    }
    unlink((data_folder + "DEMO.tvr").c_str());
    open_account_file(false);
    return true;
}

// Moves the damaged file, with its journal, into the backup folder under a name no other file has;
// it is never deleted. The next open of `path` makes a fresh file.
void Core::set_aside_damaged_file(const std::string& path) {
    DamagedFile found{current_account, {}};
    const std::string folder = backup_folder(data_folder);
    if (!folder.empty()) {
        const std::string stem = folder + backup_stamp() + "_" + current_account + "_damaged";
        std::string target = stem + ".tvr";
        struct stat st;
        for (int n = 2; stat(target.c_str(), &st) == 0; ++n) target = stem + "-" + std::to_string(n) + ".tvr";
        if (rename(path.c_str(), target.c_str()) == 0) {
            found.moved_to = target;
            for (const char* suffix : {"-journal", "-wal", "-shm"}) {
                const std::string from = path + suffix;
                if (stat(from.c_str(), &st) == 0) rename(from.c_str(), (target + suffix).c_str());
            }
        }
    }
    if (found.moved_to.empty())
        std::fprintf(stderr, "Tavrin: the account database %s is damaged and could not be set aside\n", path.c_str());
    else
        std::fprintf(stderr, "Tavrin: the account database %s is damaged; it was moved to %s\n", path.c_str(),
                     found.moved_to.c_str());
    std::lock_guard<std::mutex> lock(damaged_mutex);
    damaged_file = std::move(found);
}

std::optional<Core::DamagedFile> Core::take_damaged_file() {
    std::lock_guard<std::mutex> lock(damaged_mutex);
    std::optional<DamagedFile> taken = std::move(damaged_file);
    damaged_file.reset();
    return taken;
}

std::string Core::damaged_file_message(const DamagedFile& file) const {
    if (file.moved_to.empty())
        return is_hungarian ? "A fiók adatbázisfájlja megsérült, és nem sikerült félretenni. A program tovább "
                              "használja, de az adatai hibásak lehetnek."
                            : "The account's database file is damaged and could not be set aside. The program "
                              "goes on using it, but its data may be wrong.";
    if (file.account == "DEMO")
        return (is_hungarian ? "A mintacég adatbázisfájlja megsérült. Félretettük ezen a néven:\n"
                             : "The sample company's database file was damaged. It was set aside as:\n") +
               file.moved_to +
               (is_hungarian ? "\nA mintaadatok újra a helyükre kerültek." : "\nThe sample data was put back.");
    return (is_hungarian ? "A fiók adatbázisfájlja megsérült. Félretettük ezen a néven:\n"
                         : "The account's database file was damaged. It was set aside as:\n") +
           file.moved_to +
           (is_hungarian ? "\nÚj fájl készült, a következő szinkronizálás újra letölti a fiók adatait az iCloudból."
                         : "\nA new file was started; the next sync downloads the account's data from iCloud again.");
}

// Temporary PDF files of earlier runs. unlink, not remove: remove would also take an empty folder.
void Core::remove_leftover_files() {
    if (DIR* dir = opendir(data_folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 4, 4, ".pdf") == 0) unlink((data_folder + name).c_str());
        }
        closedir(dir);
    }
    unlink((data_folder + "EBWebView").c_str());
}

std::vector<Json::object> Core::query(std::string sql) {
    std::vector<Json::object> result;
    const bool name_order = sql.find("COLLATE NOCASE") != std::string::npos;
    {
        std::lock_guard<std::recursive_mutex> lock(store_mutex);
        if (!db) return result;
        if (sql.starts_with("SELECT ") || sql.starts_with("PRAGMA ")) {
            // Only the first statement of the text runs.
            store::Statement statement(*this, sql);
            result = statement.rows(name_order);
        } else {
            store_columns.clear();  // the text may create, change or drop tables
            char* error = nullptr;
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
            sqlite3_free(error);
        }
    }
    if (name_order) sort_by_wide_name(result);
    return result;
}

Json Core::setting(std::string key) {
    const bool accounts = key == "accounts";
    // `accounts` is a member of the local row, not a row of its own.
    auto rows = store::rows(*this, "SELECT * FROM settings WHERE recordName = ?", {accounts ? Json("local") : Json(key)});
    Json value;
    if (!rows.empty()) {
        auto found = rows.front().find("value");
        if (found != rows.front().end()) value = Json::parse(found->second.string_value());
    }
    if (!accounts) return value;
    const Json& list = value["accounts"];
    return list.is_array() ? list : Json(Json::array{});
}

const std::vector<std::pair<std::string, std::string>>& Core::table_columns(const std::string& table) {
    static const std::vector<std::pair<std::string, std::string>> none;
    auto found = store_columns.find(table);
    if (found != store_columns.end()) return found->second;
    std::vector<std::pair<std::string, std::string>> columns;
    store::Statement statement(*this, "SELECT name, type FROM pragma_table_info(?)");
    statement.bind(1, table);
    while (statement.step()) columns.emplace_back(statement.column_text(0), statement.column_text(1));
    if (columns.empty()) return none;
    return store_columns.emplace(table, std::move(columns)).first->second;
}

bool Core::save_record(Json::object record, std::string table) {
    store::add_search_text(table, record);

    std::lock_guard<std::recursive_mutex> lock(store_mutex);
    // Two tries: a column list cached before the table changed gives a statement that does not prepare.
    for (int attempt = 0; attempt < 2 && db; ++attempt) {
        if (table_columns(table).empty()) return false;  // no such table: nothing is written
        store::RowWriter writer(*this, table);
        if (writer.ok()) return writer.write(record);
        store_columns.erase(table);
    }
    return false;
}

std::string store::file_identity(Core& core) {
    const char* path = core.db ? sqlite3_db_filename(core.db, "main") : nullptr;
    struct stat info {};
    if (!path || !*path || ::stat(path, &info) != 0) return "";
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string store::file_path(Core& core) {
    const char* path = core.db ? sqlite3_db_filename(core.db, "main") : nullptr;
    return path ? path : "";
}
