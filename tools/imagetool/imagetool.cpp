// imagetool: builds image containers, shows their records and extracts
// payloads, with the launcher's own format code.
//
//   imagetool build -o OUT [--form F] [--header-length N] [--version A.B.C.D]
//                   [--corrupt-crc] [--no-version-block] TYPE=FILE ...
//   imagetool info [--json] FILE...
//   imagetool verify FILE...
//   imagetool extract FILE N -o OUT
//
// Exit status: 0 success, 1 a failed operation or a bad record, 2 usage error.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "image/container.h"

using namespace image;

namespace {

using bytes = std::vector<uint8_t>;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kVersionBlockOffset = 240;  // inside a boot-loader binary

const char kUsage[] =
    "usage: imagetool build -o OUT [--form plain|extended|hdr3] [--header-length N]\n"
    "                       [--version A.B.C.D] [--corrupt-crc] [--no-version-block] TYPE=FILE ...\n"
    "       imagetool info [--json] FILE...\n"
    "       imagetool verify FILE...\n"
    "       imagetool extract FILE N -o OUT\n"
    "TYPE: application, bootloader, kernel, rfs, devicetree, diagnostics or a type id in hex\n";

const char kTypeNames[] = "application, bootloader, kernel, rfs, devicetree, diagnostics";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "imagetool: %s (see imagetool --help)\n", message.c_str());
    return kExitUsage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "imagetool: %s\n", message.c_str());
    return kExitFailure;
}

std::string errno_text(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// Whole file into `out`; false with errno set (EFBIG for files no record holds).
bool read_file(const std::string& path, bytes* out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->insert(out->end(), chunk, chunk + n);
        if (out->size() > kMaxRecordSize) {
            std::fclose(f);
            errno = EFBIG;
            return false;
        }
    }
    bool ok = !std::ferror(f);
    int saved = errno;
    std::fclose(f);
    errno = saved;
    if (!ok && errno == 0) errno = EIO;
    return ok;
}

// Writes `length` bytes to a new file; false with errno set, and no partial
// file left behind.
bool write_file(const std::string& path, const uint8_t* data, std::size_t length) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = length == 0 || std::fwrite(data, 1, length, f) == length;
    int saved = errno;
    if (std::fclose(f) != 0) saved = errno, ok = false;
    if (!ok) std::remove(path.c_str());
    errno = saved;
    return ok;
}

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string version_text(uint32_t id) {
    char text[24];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 0xFF, (id >> 8) & 0xFF,
                  id & 0xFF);
    return text;
}

const char* form_name(int form) {
    static const char* const names[] = {"?", "plain", "extended", "hdr3"};
    return form >= 1 && form <= 3 ? names[form] : names[0];
}

// Unsigned number in decimal or 0x-hex, all of `text`, at most `max`.
bool parse_number(const std::string& text, int base, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

// ---------------------------------------------------------------- build

struct record_options {
    int form = 1;
    uint32_t header_length = 0;  // 0: the smallest the form allows
    uint32_t id = 0;
    bool corrupt_crc = false;
    bool version_block = true;
};

bool parse_type(const std::string& word, uint32_t* magic) {
    static const struct {
        const char* name;
        uint32_t type;
    } names[] = {{"application", kTypeApplication}, {"bootloader", kTypeBootLoader},
                 {"kernel", kTypeKernel},           {"rfs", kTypeRootFs},
                 {"devicetree", kTypeDeviceTree},   {"diagnostics", kTypeDiagnostics}};
    for (const auto& n : names) {
        if (word == n.name) {
            *magic = n.type;
            return true;
        }
    }
    std::string digits = word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0 ? word.substr(2) : word;
    uint64_t v = 0;
    if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        !parse_number(digits, 16, 0xFFFFFFFFu, &v)) {
        return false;
    }
    *magic = static_cast<uint32_t>(v);
    return true;
}

bool parse_version(const std::string& text, uint32_t* id) {
    uint32_t v = 0;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t dot = part < 3 ? text.find('.', start) : text.size();
        if (dot == std::string::npos) return false;
        std::string field = text.substr(start, dot - start);
        uint64_t n = 0;
        if (field.find_first_not_of("0123456789") != std::string::npos ||
            !parse_number(field, 10, 255, &n)) {
            return false;
        }
        v = (v << 8) | static_cast<uint32_t>(n);
        start = dot + 1;
    }
    *id = v;
    return true;
}

// A boot-loader binary carries its record's len, magic and id at offset 240,
// so that the installed version can be read back from flash. The fields do
// not depend on the payload, so they are copied from the encoded header and
// the checksum is computed again.
void stamp_version_block(bytes* record) {
    record_layout l = decode_record_header(record->data());
    uint8_t* block = record->data() + l.header_length + kVersionBlockOffset;
    std::memset(block, 0, 4);
    std::memcpy(block + 4, record->data() + 4, 12);
    put_be32(record->data(), image_crc32(record->data() + 4, record->size() - 4, kCrcStart));
}

struct record_request {
    uint32_t magic;
    std::string path;
    record_options opt;
};

// Encodes one record and appends it to `out`.
int add_record(const record_request& req, bytes* out) {
    const record_options& opt = req.opt;
    bytes payload;
    if (!read_file(req.path, &payload)) return failure(errno_text("cannot read", req.path));
    bool stamp = opt.version_block && (req.magic & ~kExtendedFlag) == kTypeBootLoader;
    if (stamp && payload.size() < kVersionBlockOffset + kVersionBlockSize) {
        payload.resize(kVersionBlockOffset + kVersionBlockSize, 0);
    }
    uint32_t h = opt.header_length != 0 ? opt.header_length : uint32_t{kHeaderProbeSize};
    bytes record = encode_record(req.magic, opt.id, opt.form, h, payload.data(), payload.size());
    if (record.empty()) return failure("record for " + req.path + " is too large");
    if (stamp) stamp_version_block(&record);
    if (opt.corrupt_crc) record[3] ^= 0x01;
    out->insert(out->end(), record.begin(), record.end());
    return 0;
}

// One record option at argv[*i] (its value, if any, consumed). 1 when it was
// not an option, 0 when applied, else the usage exit status.
int parse_record_option(int argc, char** argv, int* i, record_options* opt) {
    std::string a = argv[*i];
    bool takes_value = a == "--form" || a == "--header-length" || a == "--version";
    if (takes_value && *i + 1 >= argc) return usage_error(a + " needs a value");
    std::string value = takes_value ? argv[++*i] : "";
    uint64_t n = 0;
    if (a == "--form") {
        if (value == "plain") opt->form = 1;
        else if (value == "extended") opt->form = 2;
        else if (value == "hdr3") opt->form = 3;
        else return usage_error("--form must be plain, extended or hdr3");
    } else if (a == "--header-length") {
        if (!parse_number(value, 0, 0xFFFF, &n) || n < kHeaderProbeSize) {
            return usage_error("--header-length must be 24..65535");
        }
        opt->header_length = static_cast<uint32_t>(n);
    } else if (a == "--version") {
        if (!parse_version(value, &opt->id)) return usage_error("--version must be A.B.C.D (0-255)");
    } else if (a == "--corrupt-crc") {
        opt->corrupt_crc = true;
    } else if (a == "--no-version-block") {
        opt->version_block = false;
    } else {
        return 1;
    }
    return 0;
}

// Record options apply to the TYPE=FILE that follows them. Every usage error
// is found here, before any file is read or written.
int parse_build_args(int argc, char** argv, std::string* out_path, std::vector<record_request>* records) {
    record_options opt;
    bool pending = false;  // options given that no record has used yet
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-o") {
            if (i + 1 >= argc) return usage_error("-o needs a file name");
            *out_path = argv[++i];
            continue;
        }
        int r = parse_record_option(argc, argv, &i, &opt);
        pending = pending || r == 0;
        if (r == 0) continue;
        if (r != 1) return r;
        if (a.size() > 1 && a[0] == '-') return usage_error("unknown option '" + a + "'");
        std::size_t eq = a.find('=');
        record_request req{0, "", opt};
        if (eq == std::string::npos || eq == 0 || eq + 1 == a.size()) {
            return usage_error("expected TYPE=FILE, got '" + a + "'");
        }
        if (!parse_type(a.substr(0, eq), &req.magic)) {
            return usage_error("unknown type '" + a.substr(0, eq) + "' in '" + a +
                               "'; known types: " + kTypeNames + ", or a type id in hex");
        }
        if (opt.header_length != 0 && opt.form == 1) {
            return usage_error("--header-length needs --form extended or hdr3");
        }
        req.path = a.substr(eq + 1);
        records->push_back(req);
        opt = record_options();
        pending = false;
    }
    if (out_path->empty()) return usage_error("build needs -o OUT");
    if (records->empty()) return usage_error("build needs at least one TYPE=FILE");
    if (pending) return usage_error("record options after the last TYPE=FILE");
    return 0;
}

int cmd_build(int argc, char** argv) {
    std::string out_path;
    std::vector<record_request> records;
    if (int status = parse_build_args(argc, argv, &out_path, &records); status != 0) return status;
    bytes container;
    for (const auto& req : records) {
        if (int status = add_record(req, &container); status != 0) return status;
    }
    if (!write_file(out_path, container.data(), container.size())) {
        return failure(errno_text("cannot write", out_path));
    }
    std::printf("%zu record%s, %zu bytes written to %s\n", records.size(),
                records.size() == 1 ? "" : "s", container.size(), out_path.c_str());
    return 0;
}

// ---------------------------------------------------------------- info, verify

enum class record_status { ok, bad_crc, truncated, inconsistent, too_big };
// The statuses a summary counts, in the order it names them.
constexpr record_status kProblems[] = {record_status::bad_crc, record_status::truncated,
                                       record_status::inconsistent, record_status::too_big};

const char* status_text(record_status s) {
    switch (s) {
        case record_status::ok: return "OK";
        case record_status::bad_crc: return "BAD CRC";
        case record_status::truncated: return "TRUNCATED";
        case record_status::inconsistent: return "INCONSISTENT";
        case record_status::too_big: return "TOO BIG";
    }
    return "?";
}

struct record_report {
    uint64_t offset = 0;
    record_layout layout;
    bool have_computed = false;
    uint32_t computed = 0;
    record_status status = record_status::ok;
    std::string problem;  // what is wrong, with the field values (empty when OK)
};

// printf into a string; every text made here is short, longer ones are cut.
__attribute__((format(printf, 1, 2))) std::string text_format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, n < 0 ? 0 : std::min(static_cast<std::size_t>(n), sizeof text - 1));
}

std::string type_word(uint32_t type_id) {
    const image_type_info* info = find_image_type(type_id);
    return info ? info->word : hex32(type_id & ~kExtendedFlag);
}

// The rule of "Inconsistent lengths" (image/container.h) that the header
// breaks, with the raw field values: decode_record_header's checks, in its
// order. H is as read (16 for the plain form, which has no H field).
std::string inconsistency(const record_layout& l) {
    unsigned long long h = l.header_length;
    unsigned long long len = l.len;
    unsigned long long t = l.form == 3 ? len + 16 : l.form == 2 ? h + len : 16 + len;
    const char* sum = l.form == 3 ? "len + 16" : l.form == 2 ? "H + len" : "16 + len";
    if (h < 16) {
        return text_format("H = %llu at bytes %d-%d is below 16", h, l.form == 3 ? 22 : 18,
                           l.form == 3 ? 23 : 19);
    }
    if (h > t) return text_format("H = %llu is beyond T = %s = %llu (len = %u)", h, sum, t, l.len);
    if (t == 0) return text_format("T = %s is 0", sum);
    if (t > kMaxRecordSize) {
        return text_format("T = %s = %llu is above the limit %u (H = %llu, len = %u)", sum, t,
                           kMaxRecordSize, h, l.len);
    }
    return text_format("the lengths describe no record (H = %llu, len = %u)", h, l.len);
}

// Reads and checks the record whose header is in `rep`; `file_size` is the
// file's size, or UINT64_MAX when unknown. False when memory for it cannot
// be had.
bool check_record(std::FILE* f, uint64_t file_size, record_report* rep) {
    const record_layout& l = rep->layout;
    bool alloc_failed = false;
    record_buffer buf = read_record(f, rep->offset, l, &alloc_failed);
    if (alloc_failed) return false;
    unsigned long long t = l.total_length();
    if (!buf) {
        rep->status = record_status::truncated;
        rep->problem = file_size == UINT64_MAX || file_size < rep->offset
                           ? text_format("the file ends before T = %llu bytes", t)
                           : text_format("T = %llu, but the file holds %llu bytes from here", t,
                                         static_cast<unsigned long long>(file_size - rep->offset));
        return true;
    }
    rep->have_computed = true;
    rep->computed = image_crc32(buf.get() + 4, l.total_length() - 4, kCrcStart);
    const image_type_info* info = find_image_type(l.type_id);
    if (rep->computed != l.crc) {
        rep->status = record_status::bad_crc;
        rep->problem = text_format("stored 0x%08X, computed 0x%08X", l.crc, rep->computed);
    } else if (info && !within_size_limit(*info, l)) {
        rep->status = record_status::too_big;
        rep->problem = text_format("%s = %llu is above the %s limit %u",
                                   info->limit_on_len ? "len" : "T",
                                   static_cast<unsigned long long>(size_tested_value(*info, l)),
                                   info->word, info->size_limit);
    }
    return true;
}

// Walks the whole container; the walk ends after a record that leads to no
// next one (inconsistent or truncated). `trailing` counts the bytes after
// the last record that are too few for a header. False (after a message)
// when memory for a record cannot be had.
bool walk_container(std::FILE* f, std::vector<record_report>* out, uint64_t* trailing) {
    uint64_t file_size = UINT64_MAX;
    struct stat st;
    if (::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
        file_size = static_cast<uint64_t>(st.st_size);
    }
    uint64_t offset = 0;
    *trailing = 0;
    for (;;) {
        record_report rep;
        rep.offset = offset;
        walk_step step = read_record_header(f, offset, &rep.layout);
        if (step == walk_step::end) break;
        if (std::ferror(f)) {
            failure("read error at offset " + std::to_string(offset));
            return false;
        }
        if (step == walk_step::inconsistent) {
            rep.status = record_status::inconsistent;
            rep.problem = inconsistency(rep.layout);
        } else if (!check_record(f, file_size, &rep)) {
            failure("no memory for the record at offset " + std::to_string(offset));
            return false;
        }
        out->push_back(rep);
        if (rep.status == record_status::inconsistent || rep.status == record_status::truncated) {
            return true;
        }
        offset += rep.layout.total_length();
    }
    if (std::fseek(f, 0, SEEK_END) == 0) {
        off_t size = ftello(f);
        if (size > 0 && static_cast<uint64_t>(size) > offset) *trailing = static_cast<uint64_t>(size) - offset;
    }
    return true;
}

std::string json_escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void print_json(const std::string& path, const std::vector<record_report>& reports,
                uint64_t trailing, bool all_ok) {
    std::printf("{\"file\": \"%s\", \"records\": [", json_escape(path).c_str());
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const record_report& r = reports[i];
        const record_layout& l = r.layout;
        bool sized = r.status != record_status::inconsistent;
        std::printf("%s\n  {\"index\": %zu, \"offset\": %llu, \"form\": \"%s\", \"type\": \"%s\", "
                    "\"type_id\": \"%s\", \"version\": \"%s\", \"header_length\": %u, ",
                    i ? "," : "", i, static_cast<unsigned long long>(r.offset), form_name(l.form),
                    type_word(l.type_id).c_str(), hex32(l.type()).c_str(), version_text(l.id).c_str(),
                    l.header_length);
        if (sized) {
            std::printf("\"payload_length\": %u, \"total_length\": %llu, ", l.payload_length,
                        static_cast<unsigned long long>(l.total_length()));
        } else {
            std::printf("\"payload_length\": null, \"total_length\": null, ");
        }
        std::printf("\"crc\": \"%s\", ", hex32(l.crc).c_str());
        if (r.have_computed) std::printf("\"computed_crc\": \"%s\", ", hex32(r.computed).c_str());
        else std::printf("\"computed_crc\": null, ");
        std::printf("\"status\": \"%s\", ", status_text(r.status));
        if (r.problem.empty()) std::printf("\"problem\": null}");
        else std::printf("\"problem\": \"%s\"}", json_escape(r.problem).c_str());
    }
    std::printf("\n], \"trailing_bytes\": %llu, \"ok\": %s}\n",
                static_cast<unsigned long long>(trailing), all_ok ? "true" : "false");
}

void print_table(const std::vector<record_report>& reports, uint64_t trailing) {
    std::printf("%-3s %-10s %-8s %-11s %-15s %5s %10s %10s %-10s %-10s %s\n", "#", "OFFSET", "FORM",
                "TYPE", "VERSION", "H", "P", "T", "CRC", "COMPUTED", "STATUS");
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const record_report& r = reports[i];
        const record_layout& l = r.layout;
        bool sized = r.status != record_status::inconsistent;
        // The checksum columns already tell a bad CRC; other problems say what.
        bool detail = !r.problem.empty() && r.status != record_status::bad_crc;
        std::printf("%-3zu %-10s %-8s %-11s %-15s %5u %10s %10s %-10s %-10s %s%s%s\n", i,
                    hex32(static_cast<uint32_t>(r.offset)).c_str(), form_name(l.form),
                    type_word(l.type_id).c_str(), version_text(l.id).c_str(), l.header_length,
                    sized ? std::to_string(l.payload_length).c_str() : "-",
                    sized ? std::to_string(l.total_length()).c_str() : "-", hex32(l.crc).c_str(),
                    r.have_computed ? hex32(r.computed).c_str() : "-", status_text(r.status),
                    detail ? ": " : "", detail ? r.problem.c_str() : "");
    }
    if (trailing) std::printf("%llu trailing bytes (fewer than 24: not a record)\n",
                              static_cast<unsigned long long>(trailing));
}

// "3 records, 1 BAD CRC", "2 records, all OK", "0 records".
std::string summary(const std::vector<record_report>& reports) {
    std::size_t n = reports.size();
    std::string text = text_format("%zu record%s", n, n == 1 ? "" : "s");
    std::size_t problems = 0;
    for (record_status s : kProblems) {
        std::size_t count = 0;
        for (const auto& r : reports) count += r.status == s;
        if (count) text += text_format(", %zu %s", count, status_text(s));
        problems += count;
    }
    if (n > 0 && problems == 0) text += ", all OK";
    return text;
}

enum class report_form { table, json, problems };

// Walks one file and prints its report. 0 when it holds at least one record
// and every record is OK, else 1 (also when it cannot be read, after a
// message on standard error).
int report_file(const std::string& path, report_form form) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return failure(errno_text("cannot open", path));
    std::vector<record_report> reports;
    uint64_t trailing = 0;
    bool walked = walk_container(f, &reports, &trailing);
    std::fclose(f);
    if (!walked) return kExitFailure;
    bool all_ok = !reports.empty();
    for (const auto& r : reports) all_ok = all_ok && r.status == record_status::ok;
    if (form == report_form::json) {
        print_json(path, reports, trailing, all_ok);
        return all_ok ? 0 : kExitFailure;
    }
    if (form == report_form::table) print_table(reports, trailing);
    for (std::size_t i = 0; form == report_form::problems && i < reports.size(); ++i) {
        const record_report& r = reports[i];
        if (r.status == record_status::ok) continue;
        std::printf("%s: record %zu (%s at %s) %s: %s\n", path.c_str(), i,
                    type_word(r.layout.type_id).c_str(),
                    hex32(static_cast<uint32_t>(r.offset)).c_str(), status_text(r.status),
                    r.problem.c_str());
    }
    std::printf("%s: %s\n", path.c_str(), summary(reports).c_str());
    return all_ok ? 0 : kExitFailure;
}

// info [--json] FILE... and verify FILE...: every file is reported, also
// after one that cannot be read; 0 only when every file is good.
int cmd_report(const char* name, bool json_allowed, int argc, char** argv) {
    bool json = false;
    std::vector<std::string> paths;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" && json_allowed) json = true;
        else if (a.size() > 1 && a[0] == '-') return usage_error("unknown option '" + a + "'");
        else paths.push_back(a);
    }
    if (paths.empty()) return usage_error(std::string(name) + " needs a FILE");
    report_form form = json           ? report_form::json
                       : json_allowed ? report_form::table
                                      : report_form::problems;
    int status = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i > 0 && form == report_form::table) std::printf("\n");
        std::fflush(stdout);  // keep the order of the report and any message on standard error
        if (report_file(paths[i], form) != 0) status = kExitFailure;
    }
    return status;
}

// ---------------------------------------------------------------- extract

// Finds record `index` and writes its payload; refuses records that are not
// good, so that a damaged payload is never taken for a real one.
int extract_record(std::FILE* f, uint64_t index, const std::string& out_path) {
    uint64_t offset = 0;
    for (uint64_t i = 0;; ++i) {
        record_layout l;
        walk_step step = read_record_header(f, offset, &l);
        if (step == walk_step::end) return failure("the container has only " + std::to_string(i) + " records");
        if (step == walk_step::inconsistent) return failure("record " + std::to_string(i) + " is inconsistent");
        if (i < index) {
            offset += l.total_length();
            continue;
        }
        bool alloc_failed = false;
        record_buffer buf = read_record(f, offset, l, &alloc_failed);
        if (!buf) return failure("record " + std::to_string(i) + (alloc_failed ? " does not fit in memory" : " is truncated"));
        if (!check_record_crc(buf.get(), l.total_length())) return failure("record " + std::to_string(i) + " has a bad CRC");
        if (!write_file(out_path, buf.get() + l.header_length, l.payload_length)) {
            return failure(errno_text("cannot write", out_path));
        }
        return 0;
    }
}

int cmd_extract(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string out_path;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-o") {
            if (i + 1 >= argc) return usage_error("-o needs a file name");
            out_path = argv[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option '" + a + "'");
        } else {
            positional.push_back(a);
        }
    }
    uint64_t index = 0;
    if (positional.size() != 2 || out_path.empty()) return usage_error("extract needs FILE N -o OUT");
    if (positional[1].find_first_not_of("0123456789") != std::string::npos ||
        !parse_number(positional[1], 10, UINT32_MAX, &index)) {
        return usage_error("record number must be a decimal number from 0");
    }
    std::FILE* f = std::fopen(positional[0].c_str(), "rb");
    if (!f) return failure(errno_text("cannot open", positional[0]));
    int status = extract_record(f, index, out_path);
    std::fclose(f);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("no command given");
    std::string_view cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "build") return cmd_build(argc - 2, argv + 2);
    if (cmd == "info") return cmd_report("info", true, argc - 2, argv + 2);
    if (cmd == "verify") return cmd_report("verify", false, argc - 2, argv + 2);
    if (cmd == "extract") return cmd_extract(argc - 2, argv + 2);
    return usage_error("unknown command '" + std::string(cmd) + "'");
}
