// The task list and lookup answers read as they are parsed. They are the
// largest answers a station sends (a few MiB for thousands of tasks), and a
// document of one costs more to build than the records it yields. Here the
// reader's events fill each task's fields, and its record is written as
// soon as the task ends, under the rules a parsed document is read by: the
// first member of a name counts whatever its type, a member of the wrong
// type is absent, and whatever is not taken is passed over by counting its
// depth, never by recursion. The body is read in place, after one pass over
// its bytes has made the reader's encoding check (read_answer_events_in_place).
#include "answer_parse.h"
#include "synology.h"
#include "task_record.h"

#include <array>
#include <cstring>
#include <span>

namespace {

// What a value is to the reading, from where it stands: a part of the
// envelope or of a task that is taken, or nothing.
enum class slot : uint8_t {
    none,
    root,
    success, error, code, data, tasks,  // the envelope
    task,                               // an element of data.tasks
    id, title, status, type, username, size, status_extra, additional,
    error_detail,                       // in status_extra
    transfer, detail,                   // in additional
    size_downloaded, size_uploaded, speed_download, speed_upload,
    destination, uri, create_time, started_time, completed_time,
    connected_peers, connected_seeders, connected_leechers, total_peers, error_code,
};
constexpr int slot_count = static_cast<int>(slot::error_code) + 1;
static_assert(slot_count <= 64, "one bit of a mask for each slot");

constexpr uint64_t bit(slot s) { return uint64_t{1} << static_cast<int>(s); }
// The slots of one task: forgotten when the next task starts.
constexpr uint64_t task_slots = ~(bit(slot::id) - 1) & ((bit(slot::error_code) << 1) - 1);

struct named_slot {
    std::string_view name;
    slot value;
};

constexpr named_slot root_members[] = {{"success", slot::success}, {"error", slot::error}, {"data", slot::data}};
constexpr named_slot error_members[] = {{"code", slot::code}};
constexpr named_slot data_members[] = {{"tasks", slot::tasks}};
constexpr named_slot task_members[] = {
    {"id", slot::id},         {"title", slot::title},       {"status", slot::status},
    {"type", slot::type},     {"username", slot::username}, {"size", slot::size},
    {"status_extra", slot::status_extra}, {"additional", slot::additional},
};
constexpr named_slot status_extra_members[] = {{"error_detail", slot::error_detail}};
constexpr named_slot additional_members[] = {{"transfer", slot::transfer}, {"detail", slot::detail}};
constexpr named_slot transfer_members[] = {
    {"size_downloaded", slot::size_downloaded}, {"size_uploaded", slot::size_uploaded},
    {"speed_download", slot::speed_download},   {"speed_upload", slot::speed_upload},
};
constexpr named_slot detail_members[] = {
    {"destination", slot::destination},
    {"uri", slot::uri},
    {"create_time", slot::create_time},
    {"started_time", slot::started_time},
    {"completed_time", slot::completed_time},
    {"connected_peers", slot::connected_peers},
    {"connected_seeders", slot::connected_seeders},
    {"connected_leechers", slot::connected_leechers},
    {"total_peers", slot::total_peers},
    {"error_code", slot::error_code},
};

// The members taken from an object read in that slot.
std::span<const named_slot> members_of(slot object)
{
    switch (object) {
    case slot::root: return root_members;
    case slot::error: return error_members;
    case slot::data: return data_members;
    case slot::task: return task_members;
    case slot::status_extra: return status_extra_members;
    case slot::additional: return additional_members;
    case slot::transfer: return transfer_members;
    case slot::detail: return detail_members;
    default: return {};
    }
}

bool is_read_object(slot s) { return !members_of(s).empty(); }

// Names are short: compared in line, where a call to memcmp costs more
// than the comparison.
bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

int32_t low_32_bits(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// A scalar value as the reader hands it over.
struct scalar {
    enum kind_t { other, integer, text } kind = other;
    bool is_true = false;
    // An integer's 64 bits: beyond the signed range an unsigned one wraps,
    // as int64_or_zero reads it.
    int64_t integer_value = 0;
    std::string_view text_value;  // in the body read in place

    static scalar boolean(bool b)
    {
        scalar v;
        v.is_true = b;
        return v;
    }
    static scalar whole(int64_t value)
    {
        scalar v;
        v.kind = integer;
        v.integer_value = value;
        return v;
    }
    static scalar string(std::string_view value)
    {
        scalar v;
        v.kind = text;
        v.text_value = value;
        return v;
    }
};

// Writes records as json_writer writes them, byte for byte, without its
// general bookkeeping: a record is a flat object, and a list one array of
// records. A string is copied in runs between the bytes that need escaping,
// where json_writer puts one byte at a time.
class record_writer {
public:
    explicit record_writer(json_text &out) : out_(out) {}

    void StartArray() { open('['); }
    void EndArray() { close(']'); }
    void StartObject() { open('{'); }
    void EndObject(rapidjson::SizeType) { close('}'); }
    void Key(const char *text, rapidjson::SizeType n, bool)
    {
        separate();
        string(text, n);
        out_.Put(':');
        after_key_ = true;
    }
    void String(const char *text, rapidjson::SizeType n, bool)
    {
        separate();
        string(text, n);
    }
    void Int(int value)
    {
        separate();
        char *digits = out_.Push(11);
        out_.Pop(11 - static_cast<size_t>(rapidjson::internal::i32toa(value, digits) - digits));
    }
    void Int64(int64_t value)
    {
        separate();
        char *digits = out_.Push(21);
        out_.Pop(21 - static_cast<size_t>(rapidjson::internal::i64toa(value, digits) - digits));
    }
    void Double(double value)
    {
        separate();
        if (rapidjson::internal::Double(value).IsNanOrInf()) return;  // json_writer writes nothing either
        char *digits = out_.Push(25);
        const char *end = rapidjson::internal::dtoa(value, digits, json_writer::kDefaultMaxDecimalPlaces);
        out_.Pop(25 - static_cast<size_t>(end - digits));
    }

private:
    // The comma before any value but a container's first, none after a key.
    void separate()
    {
        if (after_key_) {
            after_key_ = false;
            return;
        }
        if (!first_) out_.Put(',');
        first_ = false;
    }
    void open(char bracket)
    {
        separate();
        out_.Put(bracket);
        first_ = true;
    }
    void close(char bracket)
    {
        out_.Put(bracket);
        first_ = false;
    }
    // json_writer's escapes: \b \t \n \f \r, \u00XX for the other bytes
    // below 0x20, \" and \\; every other byte is written as it is.
    static char escape_of(unsigned char c)
    {
        if (c >= 0x20) return c == '"' || c == '\\' ? static_cast<char>(c) : 0;
        switch (c) {
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\f': return 'f';
        case '\r': return 'r';
        default: return 'u';
        }
    }

    // The length of the run of bytes from text that need no escape, eight
    // at a time while no byte below 0x20, quote or backslash is among them.
    static size_t plain_run(const char *text, size_t n)
    {
        constexpr uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            std::memcpy(&v, text + i, sizeof v);
            const uint64_t quotes = v ^ (ones * '"'), backslashes = v ^ (ones * '\\');
            const uint64_t special = ((v - ones * 0x20) & ~v) | ((quotes - ones) & ~quotes) |
                                     ((backslashes - ones) & ~backslashes);
            if (special & highs) break;
        }
        while (i < n && !escape_of(static_cast<unsigned char>(text[i]))) ++i;
        return i;
    }

    void string(const char *text, size_t n)
    {
        static constexpr char hex_digits[] = "0123456789ABCDEF";
        const size_t most = 2 + n * 6;  // every byte written as \u00XX
        char *const start = out_.Push(most);
        char *to = start;
        *to++ = '"';
        while (n > 0) {
            const size_t plain = plain_run(text, n);
            std::memcpy(to, text, plain);
            to += plain;
            if (plain == n) break;
            const unsigned char c = static_cast<unsigned char>(text[plain]);
            const char escape = escape_of(c);
            *to++ = '\\';
            *to++ = escape;
            if (escape == 'u') {
                *to++ = '0';
                *to++ = '0';
                *to++ = hex_digits[c >> 4];
                *to++ = hex_digits[c & 0xF];
            }
            text += plain + 1;
            n -= plain + 1;
        }
        *to++ = '"';
        out_.Pop(most - static_cast<size_t>(to - start));
    }

    json_text &out_;
    bool first_ = true;
    bool after_key_ = false;
};

// RapidJSON's handler: fills the fields of each task and writes its record
// into out when the task ends. A list writes the array of the records its
// filter takes; a lookup (no filter) the record of the first element alone.
class task_reader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, task_reader> {
public:
    task_reader(const status_filter *filter, json_text &out) : filter_(filter), out_(out), writer_(out)
    {
        if (filter_) writer_.StartArray();
    }

    task_reading read(char *body, size_t len)
    {
        task_reading reading;
        reading.envelope.parsed = read_answer_events_in_place(body, len, *this);
        reading.envelope.success = success_;
        reading.envelope.code = code_;
        reading.has_task = elements_ > 0;
        reading.too_large = too_large_;
        if (filter_ && reading.envelope.parsed && success_ && !too_large_) writer_.EndArray();
        return reading;
    }

    bool Null() { return take_scalar({}); }
    bool Bool(bool b) { return take_scalar(scalar::boolean(b)); }
    bool RawNumber(const char *text, rapidjson::SizeType n, bool)
    {
        answer_number number;
        if (!read_answer_number(std::string_view(text, n), number)) return false;
        if (skip_depth_ > 0) return true;
        switch (number.kind) {
        case answer_number::signed_integer: return take_scalar(scalar::whole(number.signed_value));
        case answer_number::unsigned_integer:
            return take_scalar(scalar::whole(static_cast<int64_t>(number.unsigned_value)));
        case answer_number::real: break;
        }
        return take_scalar({});
    }
    // Read in place: a string stays where it is in the body.
    bool String(const char *text, rapidjson::SizeType n, bool)
    {
        return take_scalar(scalar::string(std::string_view(text, n)));
    }
    bool Key(const char *text, rapidjson::SizeType n, bool)
    {
        if (skip_depth_ == 0) pending_ = member_slot(std::string_view(text, n));
        return true;
    }
    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

private:
    // The slot of the value that starts now.
    slot value_slot() const
    {
        if (depth_ == 0) return slot::root;
        if (frames_[depth_ - 1] != slot::tasks) return pending_;
        return filter_ || elements_ == 0 ? slot::task : slot::none;
    }

    // The slot of a member of the object being read: only its first member
    // of a name counts.
    slot member_slot(std::string_view name)
    {
        for (const named_slot &m : members_of(frames_[depth_ - 1])) {
            if (!same_name(m.name, name)) continue;
            if (seen_ & bit(m.value)) return slot::none;
            seen_ |= bit(m.value);
            return m.value;
        }
        return slot::none;
    }

    bool open(bool object)
    {
        if (skip_depth_ > 0) {
            ++skip_depth_;
            return true;
        }
        const slot s = value_slot();
        if (s == slot::error_code) fields_.has_error_code = true;
        if (object ? !is_read_object(s) : s != slot::tasks) {
            skip_depth_ = 1;
            return true;
        }
        if (s == slot::task) seen_ &= ~task_slots;
        frames_[depth_++] = s;
        return true;
    }

    bool close()
    {
        if (skip_depth_ > 0) {
            if (--skip_depth_ > 0) return true;
        } else {
            --depth_;
        }
        value_ended();
        return true;
    }

    bool take_scalar(const scalar &v)
    {
        if (skip_depth_ > 0) return true;
        take(value_slot(), v);
        value_ended();
        return true;
    }

    void take(slot s, const scalar &v)
    {
        switch (s) {
        case slot::success: success_ = v.is_true; break;
        case slot::code: code_ = v.kind == scalar::integer ? low_32_bits(v.integer_value) : 0; break;
        case slot::id: fields_.id = text(v); break;
        case slot::title: fields_.title = text(v); break;
        case slot::type: fields_.type = text(v); break;
        case slot::username: fields_.username = text(v); break;
        case slot::error_detail: fields_.error_word = text(v); break;
        case slot::destination: fields_.destination = text(v); break;
        case slot::uri: fields_.uri = text(v); break;
        case slot::status:
            if (v.kind == scalar::text) fields_.status = text(v);
            break;
        case slot::size: integer(v, fields_.size_total); break;
        case slot::size_downloaded: integer(v, fields_.size_downloaded); break;
        case slot::size_uploaded: integer(v, fields_.size_uploaded); break;
        case slot::speed_download: integer(v, fields_.speed_download); break;
        case slot::speed_upload: integer(v, fields_.speed_upload); break;
        case slot::create_time: integer(v, fields_.create_time); break;
        case slot::started_time: integer(v, fields_.started_time); break;
        case slot::completed_time: integer(v, fields_.completed_time); break;
        case slot::connected_peers: integer32(v, fields_.connected_peers); break;
        case slot::connected_seeders: integer32(v, fields_.connected_seeders); break;
        case slot::connected_leechers: integer32(v, fields_.connected_leechers); break;
        case slot::total_peers: integer32(v, fields_.total_peers); break;
        case slot::error_code:
            fields_.has_error_code = true;
            fields_.error_code = v.kind == scalar::integer ? low_32_bits(v.integer_value) : 0;
            break;
        default: break;  // a container's slot holding a scalar: absent
        }
    }

    // A text member: the value when it is a string.
    static std::string_view text(const scalar &v) { return v.kind == scalar::text ? v.text_value : std::string_view(); }

    // read_task_integer's rule: a JSON integer, or a string of a decimal integer.
    static void integer(const scalar &v, int64_t &out)
    {
        if (v.kind == scalar::integer) out = v.integer_value;
        else if (v.kind == scalar::text) read_decimal_text(v.text_value, out);
    }

    static void integer32(const scalar &v, int32_t &out)
    {
        int64_t value = 0;
        integer(v, value);
        out = low_32_bits(value);
    }

    void value_ended()
    {
        if (depth_ > 0 && frames_[depth_ - 1] == slot::tasks) element_ended();
    }

    // An element of data.tasks ended: its fields are complete (the
    // defaults, for an element that is no object).
    void element_ended()
    {
        if (!filter_) {
            if (elements_ == 0) emit_task_record(fields_, writer_);
        } else if (!too_large_ && filter_->matches(fields_.status)) {
            emit_task_record(fields_, writer_);
            too_large_ = result_too_large(out_);
        }
        ++elements_;
        fields_ = task_fields{};
    }

    // The read frames: root, data, tasks, task, additional, detail at most.
    static constexpr size_t frame_capacity = 6;

    const status_filter *filter_;
    json_text &out_;
    record_writer writer_;
    std::array<slot, frame_capacity> frames_{};
    size_t depth_ = 0;       // frames being read
    size_t skip_depth_ = 0;  // containers being passed over, inside the innermost frame
    slot pending_ = slot::none;
    uint64_t seen_ = 0;      // the slots whose first member has been met
    bool success_ = false;
    int code_ = 0;
    size_t elements_ = 0;    // of data.tasks
    bool too_large_ = false;
    task_fields fields_;
};

}  // namespace

task_reading read_task_list(char *body, size_t len, const status_filter &filter, json_text &out)
{
    return task_reader(&filter, out).read(body, len);
}

task_reading read_first_task(char *body, size_t len, json_text &out)
{
    return task_reader(nullptr, out).read(body, len);
}
