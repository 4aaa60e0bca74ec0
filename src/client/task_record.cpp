// The rules of the flattened task record: which of the station's members it
// takes, how it reads them, and the values it derives.
#include "task_record.h"

#include <charconv>
#include <limits>

namespace {

// The station's words for why a task failed, in short English.
struct error_word {
    std::string_view word;
    const char *text;
};
constexpr error_word error_words[] = {
    {"broken_link", "Broken link"},
    {"destination_not_exist", "Destination does not exist"},
    {"destination_denied", "Destination denied"},
    {"disk_full", "Disk full"},
    {"quota_reached", "Quota reached"},
    {"timeout", "Timed out"},
    {"exceed_max_file_system_size", "File larger than the file system allows"},
    {"exceed_max_destination_size", "File larger than the destination allows"},
    {"exceed_max_temp_size", "File larger than the temporary folder allows"},
    {"encrypted_name_too_long", "Encrypted file name too long"},
    {"name_too_long", "File name too long"},
    {"torrent_duplicate", "Duplicate torrent"},
    {"file_not_exist", "File does not exist"},
    {"required_premium_account", "Premium account required"},
    {"not_supported_type", "Type not supported"},
    {"try_it_later", "Try again later"},
    {"task_encryption", "Task encryption failed"},
    {"missing_python", "Python is missing on the NAS"},
    {"private_video", "Private video"},
    {"ftp_encryption_not_supported_type", "FTP encryption type not supported"},
    {"extract_failed", "Extraction failed"},
    {"extract_failed_wrong_password", "Extraction failed: wrong password"},
    {"extract_failed_invalid_archive", "Extraction failed: invalid archive"},
    {"extract_failed_quota_reached", "Extraction failed: quota reached"},
    {"extract_failed_disk_full", "Extraction failed: disk full"},
    {"unknown", "Unknown error"},
};

std::string_view text_of(const json_value *object, std::string_view key)
{
    return string_or_empty(member(object, key));
}

int64_t integer_of(const json_value *object, std::string_view key)
{
    int64_t value = 0;
    return read_task_integer(member(object, key), value) ? value : 0;
}

int32_t integer32_of(const json_value *object, std::string_view key)
{
    return static_cast<int32_t>(static_cast<uint32_t>(integer_of(object, key)));
}

}  // namespace

// from_chars reads exactly that form ("-" and digits, no "+", no blanks) and
// refuses a value beyond 64 bits; the whole text must be read.
bool read_decimal_text(std::string_view text, int64_t &out)
{
    const char *last = text.data() + text.size();
    int64_t value = 0;
    const auto result = std::from_chars(text.data(), last, value);
    if (result.ec != std::errc() || result.ptr != last) return false;
    out = value;
    return true;
}

bool read_task_integer(const json_value *value, int64_t &out)
{
    if (is_integer(value)) {
        out = int64_or_zero(value);
        return true;
    }
    return value && value->IsString() &&
           read_decimal_text(std::string_view(value->GetString(), value->GetStringLength()), out);
}

task_fields read_task_fields(const json_value *task)
{
    const json_value *additional = member(task, "additional");
    const json_value *transfer = member(additional, "transfer");
    const json_value *detail = member(additional, "detail");
    task_fields f;
    f.id = text_of(task, "id");
    f.title = text_of(task, "title");
    f.status = status_of(task);
    f.type = text_of(task, "type");
    f.username = text_of(task, "username");
    f.error_word = text_of(member(task, "status_extra"), "error_detail");
    f.size_total = integer_of(task, "size");
    f.size_downloaded = integer_of(transfer, "size_downloaded");
    f.size_uploaded = integer_of(transfer, "size_uploaded");
    f.speed_download = integer_of(transfer, "speed_download");
    f.speed_upload = integer_of(transfer, "speed_upload");
    f.destination = text_of(detail, "destination");
    f.uri = text_of(detail, "uri");
    f.create_time = integer_of(detail, "create_time");
    f.started_time = integer_of(detail, "started_time");
    f.completed_time = integer_of(detail, "completed_time");
    f.connected_peers = integer32_of(detail, "connected_peers");
    f.connected_seeders = integer32_of(detail, "connected_seeders");
    f.connected_leechers = integer32_of(detail, "connected_leechers");
    f.total_peers = integer32_of(detail, "total_peers");
    // The error code counts only as a JSON integer; of any other type it reads as 0.
    const json_value *error_code = member(detail, "error_code");
    f.has_error_code = error_code != nullptr;
    f.error_code = int32_or_zero(error_code);
    return f;
}

double task_progress(const task_fields &f)
{
    if (status_is(f.status, "finished")) return 1.0;
    if (f.size_downloaded <= 0 || f.size_total <= 0) return 0.0;
    double ratio = static_cast<double>(f.size_downloaded) / static_cast<double>(f.size_total);
    return ratio > 1.0 ? 1.0 : ratio;
}

int64_t task_eta_seconds(const task_fields &f)
{
    bool moving = status_is(f.status, "downloading") || status_is(f.status, "waiting");
    if (!moving || f.speed_download <= 0 || f.size_total <= f.size_downloaded) return -1;
    // The difference is taken unsigned: with a negative amount downloaded it
    // would overflow a signed 64-bit value. A quotient beyond the signed
    // range is capped at its largest value.
    uint64_t left = static_cast<uint64_t>(f.size_total) - static_cast<uint64_t>(f.size_downloaded);
    uint64_t seconds = left / static_cast<uint64_t>(f.speed_download);
    constexpr uint64_t most = std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(seconds > most ? most : seconds);
}

// Uploaded relative to the total size, or to the downloaded amount when the size is unknown.
double task_seed_ratio(const task_fields &f)
{
    if (f.size_uploaded <= 0) return 0.0;
    if (f.size_total > 0) return static_cast<double>(f.size_uploaded) / static_cast<double>(f.size_total);
    if (f.size_downloaded > 0)
        return static_cast<double>(f.size_uploaded) / static_cast<double>(f.size_downloaded);
    return 0.0;
}

// Only a task in error has a reason: the station's word for it in English
// (a word it does not know passes as it is), else the meaning of its error
// code, else "Download error".
std::string_view task_error_detail(const task_fields &f)
{
    if (!status_is(f.status, "error")) return "";
    if (!f.error_word.empty()) {
        for (const error_word &known : error_words)
            if (known.word == f.error_word) return known.text;
        return f.error_word;
    }
    return f.has_error_code ? syno_error_str(f.error_code) : "Download error";
}

json_value build_flattened_task_val(json_pool &alloc, const json_value *task)
{
    json_document record(&alloc);
    const task_fields fields = read_task_fields(task);
    auto generate = [&fields](json_document &handler) {
        emit_task_record(fields, handler);
        return true;
    };
    record.Populate(generate);
    json_value value;
    value = static_cast<json_value &>(record);  // takes the record over; its memory stays in alloc
    return value;
}
