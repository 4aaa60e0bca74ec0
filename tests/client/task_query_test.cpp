#include "client_fixture.h"
#include "synology.h"
#include "test_host.h"

#include <optional>
#include <string>

namespace {

constexpr const char *defaults_record =
    R"({"id":"","title":"","status":"","type":"","size_total":0,"size_downloaded":0,)"
    R"("size_uploaded":0,"speed_download":0,"speed_upload":0,"destination":"","username":"",)"
    R"("create_time":0,"started_time":0,"completed_time":0,"progress":0.0,"eta_seconds":-1,)"
    R"("seed_ratio":0.0,"error_detail":"","uri":"","connected_peers":0,"connected_seeders":0,)"
    R"("connected_leechers":0,"total_peers":0})";

constexpr const char *list_line =
    "GET /webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=list"
    "&additional=detail,transfer&_sid=SID HTTP/1.1";

// The record of a task holding only an id and a status whose derived values
// are the defaults (any status but finished and error).
std::string plain_record(const std::string &id, const std::string &status)
{
    return R"({"id":")" + id + R"(","title":"","status":")" + status +
           R"(","type":"","size_total":0,"size_downloaded":0,"size_uploaded":0,)"
           R"("speed_download":0,"speed_upload":0,"destination":"","username":"","create_time":0,)"
           R"("started_time":0,"completed_time":0,"progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,)"
           R"("error_detail":"","uri":"","connected_peers":0,"connected_seeders":0,)"
           R"("connected_leechers":0,"total_peers":0})";
}

std::string tasks_answer(const std::string &tasks)
{
    return R"({"success":true,"data":{"tasks":[)" + tasks + "]}}";
}

// The record of one task, built from its JSON text and written minified.
// The task read as a lookup answer is parsed gives the same record.
std::string flattened(const std::string &task_json)
{
    json_document task;
    task.Parse(task_json.c_str());
    json_document::AllocatorType alloc;
    json_text out;
    json_writer writer(out);
    build_flattened_task_val(alloc, &task).Accept(writer);
    std::string answer = R"({"success":true,"data":{"tasks":[)" + task_json + "]}}";
    json_text streamed;
    EXPECT_TRUE(read_first_task(answer.data(), answer.size(), streamed).has_task) << task_json;
    EXPECT_EQ(std::string(out.GetString(), out.GetSize()), std::string(streamed.GetString(), streamed.GetSize()))
        << task_json;
    return std::string(out.GetString(), out.GetSize());
}

// The record's error_detail text.
std::string error_detail_of(const std::string &task_json)
{
    const std::string record = flattened(task_json);
    const size_t from = record.find(R"("error_detail":")") + 16;
    return record.substr(from, record.find('"', from) - from);
}

// The four derived members, which stand together in the record.
std::string derived_members(const std::string &task_json)
{
    std::string record = flattened(task_json);
    size_t from = record.find(R"("progress")");
    size_t to = record.find(R"(,"uri")");
    return record.substr(from, to - from);
}

// AddressSanitizer holds freed memory back and ThreadSanitizer counts its
// shadow memory, so the peak says nothing under either.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool peak_memory_tells = false;
#else
constexpr bool peak_memory_tells = true;
#endif

// The most memory the process has held so far.
long peak_memory_mib() { return peak_memory_kib() / 1024; }

// A value nested depth levels deep: [[[...]]].
std::string deep_array(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

class TaskQueryTest : public client_test {};

}  // namespace

// ---- the flattened record ------------------------------------------------------

TEST(FlattenedTask, CompleteRecord)
{
    const char *task = R"({"id":"dbid_42","title":"Big \"Buck\" Bunny \u00e9","status":"downloading",
        "type":"bt","username":"admin","size":200,"additional":{
        "transfer":{"size_downloaded":50,"size_uploaded":200,"speed_download":10,"speed_upload":3},
        "detail":{"destination":"video/films","uri":"magnet:?xt=urn:btih:abc","create_time":1700000000,
        "started_time":1700000100,"completed_time":0,"connected_peers":4,"connected_seeders":3,
        "connected_leechers":1,"total_peers":12,"error_code":408}}})";
    EXPECT_EQ(R"({"id":"dbid_42","title":"Big \"Buck\" Bunny )"
              "\xC3\xA9"
              R"(","status":"downloading","type":"bt","size_total":200,"size_downloaded":50,)"
              R"("size_uploaded":200,"speed_download":10,"speed_upload":3,"destination":"video/films",)"
              R"("username":"admin","create_time":1700000000,"started_time":1700000100,)"
              R"("completed_time":0,"progress":0.25,"eta_seconds":15,"seed_ratio":1.0,)"
              R"("error_detail":"","uri":"magnet:?xt=urn:btih:abc","connected_peers":4,)"
              R"("connected_seeders":3,"connected_leechers":1,"total_peers":12})",
              flattened(task));
}

TEST(FlattenedTask, WrongTypesCountAsAbsentAndIntegersKeepTheirWidth)
{
    // transfer is no object, so its members are absent; detail is still read.
    const char *task = R"({"id":7,"title":null,"status":"paused","type":"bt","username":"u",
        "size":18446744073709551615,"additional":{"transfer":[{"size_downloaded":5}],
        "detail":{"destination":true,"uri":"u","create_time":-5,"started_time":12.0,
        "completed_time":"9 ","connected_peers":4294967297,"connected_seeders":-2,
        "connected_leechers":2147483648,"total_peers":{"n":1}}}})";
    EXPECT_EQ(R"({"id":"","title":"","status":"paused","type":"bt","size_total":-1,)"
              R"("size_downloaded":0,"size_uploaded":0,"speed_download":0,"speed_upload":0,)"
              R"("destination":"","username":"u","create_time":-5,"started_time":0,)"
              R"("completed_time":0,"progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,)"
              R"("error_detail":"","uri":"u","connected_peers":1,"connected_seeders":-2,)"
              R"("connected_leechers":-2147483648,"total_peers":0})",
              flattened(task));
}

TEST(FlattenedTask, DerivedMembers)
{
    struct derived_case { const char *name, *task, *derived; };
    const derived_case cases[] = {
        {"finished without size", R"({"status":"finished"})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"finished with size 0", R"({"status":"finished","size":0})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"downloading a quarter",
         R"({"status":"downloading","size":200,"additional":{"transfer":{"size_downloaded":50,"speed_download":10}}})",
         R"("progress":0.25,"eta_seconds":15,"seed_ratio":0.0,"error_detail":"")"},
        {"status in capitals",
         R"({"status":"DOWNLOADING","size":200,"additional":{"transfer":{"size_downloaded":50,"speed_download":10}}})",
         R"("progress":0.25,"eta_seconds":15,"seed_ratio":0.0,"error_detail":"")"},
        {"eta truncated",
         R"({"status":"downloading","size":100,"additional":{"transfer":{"size_downloaded":1,"speed_download":10}}})",
         R"("progress":0.01,"eta_seconds":9,"seed_ratio":0.0,"error_detail":"")"},
        {"complete by size",
         R"({"status":"downloading","size":200,"additional":{"transfer":{"size_downloaded":200,"speed_download":10}}})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"more than the size",
         R"({"status":"downloading","size":200,"additional":{"transfer":{"size_downloaded":300,"speed_download":10}}})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"waiting",
         R"({"status":"waiting","size":100,"additional":{"transfer":{"speed_download":5}}})",
         R"("progress":0.0,"eta_seconds":20,"seed_ratio":0.0,"error_detail":"")"},
        {"paused with speed",
         R"({"status":"paused","size":200,"additional":{"transfer":{"size_downloaded":50,"speed_download":10}}})",
         R"("progress":0.25,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"negative speed",
         R"({"status":"downloading","size":200,"additional":{"transfer":{"speed_download":-10}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"eta beyond 64 bits is capped",
         R"({"status":"downloading","size":9223372036854775807,"additional":{"transfer":{"size_downloaded":-1,"speed_download":1}}})",
         R"("progress":0.0,"eta_seconds":9223372036854775807,"seed_ratio":0.0,"error_detail":"")"},
        {"seed ratio over the size",
         R"({"size":1000,"additional":{"transfer":{"size_downloaded":250,"size_uploaded":500}}})",
         R"("progress":0.25,"eta_seconds":-1,"seed_ratio":0.5,"error_detail":"")"},
        {"seed ratio over the downloaded amount",
         R"({"additional":{"transfer":{"size_downloaded":250,"size_uploaded":500}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":2.0,"error_detail":"")"},
        {"uploaded without any size", R"({"additional":{"transfer":{"size_uploaded":500}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"nothing uploaded",
         R"({"size":1000,"additional":{"transfer":{"size_downloaded":250,"size_uploaded":0}}})",
         R"("progress":0.25,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"error with code", R"({"status":"error","additional":{"detail":{"error_code":408}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"File does not exist")"},
        {"error in capitals", R"({"status":"ERROR","additional":{"detail":{"error_code":403}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Destination denied")"},
        {"error without detail", R"({"status":"error"})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Download error")"},
        {"error with empty detail", R"({"status":"error","additional":{"detail":{}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Download error")"},
        {"error with detail not an object", R"({"status":"error","additional":{"detail":[408]}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Download error")"},
        {"error code as a string", R"({"status":"error","additional":{"detail":{"error_code":"408"}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Synology error")"},
        {"finished with an error code",
         R"({"status":"finished","additional":{"detail":{"error_code":408}}})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"size as a real",
         R"({"status":"downloading","size":1000.0,"additional":{"transfer":{"size_downloaded":500,"speed_download":10}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"size as a string of no number",
         R"({"status":"downloading","size":"1000 B","additional":{"transfer":{"size_downloaded":500}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"figures as strings of digits",
         R"({"status":"downloading","size":"1000","additional":{"transfer":{"size_downloaded":"500","speed_download":"100"}}})",
         R"("progress":0.5,"eta_seconds":5,"seed_ratio":0.0,"error_detail":"")"},
        {"status as a number", R"({"status":1,"size":10,"additional":{"transfer":{"size_downloaded":10}}})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"status key in capitals", R"({"STATUS":"finished"})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"first status wins", R"({"status":"finished","status":"error"})",
         R"("progress":1.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
        {"additional without transfer",
         R"({"status":"downloading","size":100,"additional":{"detail":{"error_code":1}}})",
         R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"")"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.derived, derived_members(c.task));
    }
}

// Some stations send their numbers as strings of digits: such a string reads
// as its number, anything else stays absent.
TEST(FlattenedTask, NumbersSentAsText)
{
    struct text_case { const char *size; long long read; };
    const text_case cases[] = {
        {"\"123\"", 123},
        {"\"-5\"", -5},
        {"\"007\"", 7},
        {"\"-0\"", 0},
        {"\"9223372036854775807\"", 9223372036854775807LL},
        {"\"-9223372036854775808\"", -9223372036854775807LL - 1},
        {"\"9223372036854775808\"", 0},
        {"\"-9223372036854775809\"", 0},
        {"\"+5\"", 0},
        {"\" 5\"", 0},
        {"\"5 \"", 0},
        {"\"\"", 0},
        {"\"-\"", 0},
        {"\"1e3\"", 0},
        {"\"12.0\"", 0},
        {"\"0x10\"", 0},
        {"\"5\\u0000\"", 0},
        {"\"\xD9\xA1\"", 0},  // a digit of another script
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        const std::string record = flattened(std::string(R"({"size":)") + c.size + "}");
        EXPECT_NE(std::string::npos, record.find("\"size_total\":" + std::to_string(c.read) + ",")) << record;
    }

    // Every figure sent as text gives the record the same figures as numbers.
    const std::string as_numbers =
        R"({"status":"downloading","size":1000,"additional":{"transfer":{"size_downloaded":400,)"
        R"("size_uploaded":300,"speed_download":20,"speed_upload":7},"detail":{"create_time":1700000000,)"
        R"("started_time":1700000001,"completed_time":1700000002,"connected_peers":4,"connected_seeders":3,)"
        R"("connected_leechers":2,"total_peers":-1}}})";
    const std::string as_text =
        R"({"status":"downloading","size":"1000","additional":{"transfer":{"size_downloaded":"400",)"
        R"("size_uploaded":"300","speed_download":"20","speed_upload":"7"},"detail":{"create_time":"1700000000",)"
        R"("started_time":"1700000001","completed_time":"1700000002","connected_peers":"4","connected_seeders":"3",)"
        R"("connected_leechers":"2","total_peers":"-1"}}})";
    EXPECT_EQ(flattened(as_numbers), flattened(as_text));
    EXPECT_NE(std::string::npos, flattened(as_text).find(R"("size_total":1000,"size_downloaded":400,)"));
}

// A failed task's reason: the station's word for it in English.
TEST(FlattenedTask, ErrorReasonFromTheStationWord)
{
    struct word_case { const char *word, *text; };
    const word_case words[] = {
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
        {"a_new_reason", "a_new_reason"},  // a word not known yet passes as it is
        {"Disk_Full", "Disk_Full"},
    };
    for (const auto &w : words) {
        SCOPED_TRACE(w.word);
        EXPECT_EQ(w.text, error_detail_of(std::string(R"({"status":"error","status_extra":{"error_detail":")") +
                                          w.word + R"("},"additional":{"detail":{"error_code":408}}})"));
    }

    struct other_case { const char *name, *task, *detail; };
    const other_case others[] = {
        {"no word: the code", R"({"status":"error","status_extra":null,"additional":{"detail":{"error_code":408}}})",
         "File does not exist"},
        {"word not a string", R"({"status":"error","status_extra":{"error_detail":7}})", "Download error"},
        {"empty word", R"({"status":"error","status_extra":{"error_detail":""}})", "Download error"},
        {"word in detail, not status_extra", R"({"status":"error","additional":{"detail":{"error_detail":"disk_full"}}})",
         "Download error"},
        {"status in capitals", R"({"status":"Error","status_extra":{"error_detail":"disk_full"}})", "Disk full"},
        {"not in error", R"({"status":"paused","status_extra":{"error_detail":"disk_full"}})", ""},
        {"extracting", R"({"status":"extracting","status_extra":{"unzip_progress":40}})", ""},
    };
    for (const auto &c : others) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.detail, error_detail_of(c.task));
    }
}

// Only the first member of a name counts, whatever its type: a later one of
// the right type does not stand in for it.
TEST(FlattenedTask, FirstMemberOfANameWins)
{
    EXPECT_EQ(plain_record("a", ""),
              flattened(R"({"id":"a","id":"b","size":"x","size":5,"status":1,"status":"paused",)"
                        R"("additional":"none","additional":{"transfer":{"size_downloaded":5}}})"));
    EXPECT_EQ(plain_record("a", "paused"),
              flattened(R"({"id":"a","status":"paused","additional":{"transfer":[1],"transfer":{"size_uploaded":9},)"
                        R"("detail":{"uri":7,"uri":"u","total_peers":"x","total_peers":3}},)"
                        R"("additional":{"detail":{"destination":"d"}}})"));
    // An error code counts as present whatever its type, and only its first
    // occurrence counts, as does status_extra's first error_detail.
    EXPECT_EQ(R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Synology error")",
              derived_members(R"({"status":"error","additional":{"detail":{"error_code":"7"},"detail":{"error_code":408}},)"
                              R"("status_extra":{"error_detail":5,"error_detail":"disk_full"}})"));
    for (const char *code : {"{}", "[408]", "null", "true", "408.0"}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"Synology error")",
                  derived_members(std::string(R"({"status":"error","additional":{"detail":{"error_code":)") + code +
                                  R"(,"error_code":408}}})"));
    }
}

// Every byte below 0x20, the quote and the backslash are escaped as
// RapidJSON's writer escapes them; every other byte is written as it is.
TEST(FlattenedTask, TextsWrittenWithTheirEscapes)
{
    const std::string record =
        flattened(R"({"title":"\u0001\b\t\n\f\r\"\\\/\u001f\u0000\u007f \u00e9\ud83d\ude00 end"})");
    const size_t title = record.find(R"("title")");
    EXPECT_EQ(R"("title":"\u0001\b\t\n\f\r\"\\/\u001F\u0000)"
              "\x7F \xC3\xA9\xF0\x9F\x98\x80"
              R"( end",)",
              record.substr(title, record.find(R"("status")") - title));
}

TEST(FlattenedTask, RecordOfDefaults)
{
    for (const char *task : {R"("a string")", "null", "{}", "42", "[1,2]", R"({"ID":"x","Status":"finished"})"}) {
        SCOPED_TRACE(task);
        EXPECT_EQ(defaults_record, flattened(task));
    }
    json_document::AllocatorType alloc;
    json_text out;
    json_writer writer(out);
    build_flattened_task_val(alloc, nullptr).Accept(writer);
    EXPECT_STREQ(defaults_record, out.GetString());
}

// ---- the status filter -----------------------------------------------------------

TEST(StatusFilter, Matches)
{
    const std::optional<std::string_view> none;
    struct filter_case { const char *filter; std::optional<std::string_view> status; bool taken; };
    const std::string long_filter = std::string(251, ',') + "paused";  // cut after "paus"
    const filter_case cases[] = {
        {nullptr, "downloading", true},
        {nullptr, none, true},
        {"", none, true},
        {"all", "whatever", true},
        {"ALL", none, true},
        {"aLl", "", true},
        {"downloading,paused", "downloading", true},
        {"downloading,paused", "paused", true},
        {"downloading,paused", "finished", false},
        {"downloading,paused", none, false},
        {"DOWNLOADING; PAUSED", "paused", true},
        {"DOWNLOADING; PAUSED", "Downloading", true},
        {"downloading|paused", "paused", true},
        {"downloading paused", "paused", true},
        {"downloading,\tpaused", "paused", true},
        {"\vdownloading\r\n,paused\f", "downloading", true},
        {",,,", "downloading", false},
        {"   ", "", false},
        {",; |", "paused", false},
        {"all,paused", "paused", true},
        {"all,paused", "downloading", false},
        {" all", "downloading", false},
        {" all", "all", true},
        {"pause", "paused", false},
        {"paused", "pause", false},
        {"paused", std::string_view("paused\0x", 8), false},
        {long_filter.c_str(), "paus", true},
        {long_filter.c_str(), "paused", false},
        // A blank word is still a word: it takes only a status that is the empty string.
        {",\t,", "", true},
        {",\t,", none, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "filter \"" << (c.filter ? c.filter : "(null)") << "\" status \""
                                        << (c.status ? std::string(*c.status) : "(none)") << "\"");
        EXPECT_EQ(c.taken, status_filter(c.filter).matches(c.status));
    }
}

// ---- listing ---------------------------------------------------------------------

TEST_F(TaskQueryTest, ListSendsItsRequestAndFiltersInStationOrder)
{
    log_in();
    server.answer_json(tasks_answer(
        R"({"id":"a","status":"downloading"},{"id":"b","status":"finished"},{"id":"c"},7,)"
        R"({"id":"d","status":"PAUSED"},{"id":"e","status":"waiting"})"));
    EXPECT_EQ("[" + plain_record("a", "downloading") + "," + plain_record("d", "PAUSED") + "]",
              ds_list_tasks_filtered("downloading, paused"));
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(list_line, last_request_line());
}

TEST_F(TaskQueryTest, UnfilteredListTakesEveryElement)
{
    log_in();
    server.answer_always(script_server::json_response(tasks_answer(
        R"({"id":"a","status":"paused"},{"id":"b"},"text",null,{})")));
    const std::string expected = "[" + plain_record("a", "paused") + "," + plain_record("b", "") + "," +
                                 defaults_record + "," + defaults_record + "," + defaults_record + "]";
    EXPECT_EQ(expected, ds_list_tasks());
    EXPECT_EQ(expected, ds_list_tasks_filtered(nullptr));
    EXPECT_EQ(expected, ds_list_tasks_filtered(""));
    EXPECT_EQ(expected, ds_list_tasks_filtered("all"));
    EXPECT_EQ(expected, ds_list_tasks_filtered("ALL"));
    EXPECT_EQ("[" + plain_record("a", "paused") + "]", ds_list_tasks_filtered("paused"));
    EXPECT_STREQ("[]", ds_list_tasks_filtered(",,,"));
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(TaskQueryTest, ListWithoutUsableTasksIsEmpty)
{
    log_in();
    const answer_case<const char *> cases[] = {
        {"no data", R"({"success":true})", "[]", ""},
        {"empty data", R"({"success":true,"data":{}})", "[]", ""},
        {"no tasks", R"({"success":true,"data":{"total":0}})", "[]", ""},
        {"empty tasks", R"({"success":true,"data":{"tasks":[]}})", "[]", ""},
        {"tasks an object", R"({"success":true,"data":{"tasks":{"id":"a"}}})", "[]", ""},
        {"data an array", R"({"success":true,"data":[{"tasks":[{}]}]})", "[]", ""},
    };
    expect_answers(cases, ds_list_tasks);
}

TEST_F(TaskQueryTest, ListFailures)
{
    const answer_case<const char *> cases[] = {
        {"no answer", nullptr, "[]", "HTTP list request failed: Empty response from server"},
        {"not JSON", "<html>", "[]", "Failed to parse list JSON: <html>"},
        {"empty body", "", "[]", "Failed to parse list JSON: empty"},
        {"station code", R"({"success":false,"error":{"code":105}})", "[]",
         "List tasks failed (code 105: The logged in session does not have permission)"},
        {"no code", R"({"success":false})", "[]", "List tasks failed (code 0: Synology error)"},
        {"success not true", R"({"success":1,"data":{"tasks":[{}]}})", "[]",
         "List tasks failed (code 0: Synology error)"},
    };
    log_in();
    server.answer_json(tasks_answer(R"({"id":"kept","status":"paused"})"));
    const char *previous = ds_list_tasks();
    const std::string kept = "[" + plain_record("kept", "paused") + "]";
    ASSERT_EQ(kept, previous);
    // A failure leaves the thread's last result alone.
    expect_answers(cases, [] { return ds_list_tasks_filtered("paused"); }, [&] { EXPECT_EQ(kept, previous); });
}

// The answer is read as it is parsed: stations send data before success, and
// only the root's first member of a name counts.
TEST_F(TaskQueryTest, ListEnvelopeInAnyOrder)
{
    const std::string a = "[" + plain_record("a", "paused") + "]";
    struct envelope_case { const char *name; std::string body, result; const char *error; };
    const envelope_case cases[] = {
        {"data before success", R"({"data":{"tasks":[{"id":"a","status":"paused"}],"total":1},"success":true})", a, ""},
        {"refused after data",
         R"({"data":{"tasks":[{"id":"a","status":"paused"}]},"success":false,"error":{"code":105}})", "[]",
         "List tasks failed (code 105: The logged in session does not have permission)"},
        {"error before data", R"({"error":{"code":119},"data":{"tasks":[{}]},"success":false})", "[]",
         "List tasks failed (code 119: Invalid SID)"},
        {"first code wins", R"({"success":false,"error":{"code":119,"code":105},"error":{"code":408}})", "[]",
         "List tasks failed (code 119: Invalid SID)"},
        {"code as text", R"({"success":false,"error":{"code":"105","code":105}})", "[]",
         "List tasks failed (code 0: Synology error)"},
        {"error no object", R"({"success":false,"error":[{"code":105}],"error":{"code":105}})", "[]",
         "List tasks failed (code 0: Synology error)"},
        {"code's low 32 bits", R"({"success":false,"error":{"code":4294967401}})", "[]",
         "List tasks failed (code 105: The logged in session does not have permission)"},
        {"first success wins", R"({"success":true,"success":false,"data":{"tasks":[{"id":"a","status":"paused"}]}})",
         a, ""},
        {"first success refuses", R"({"data":{"tasks":[{}]},"success":false,"success":true})", "[]",
         "List tasks failed (code 0: Synology error)"},
        {"first data wins",
         R"({"data":{"tasks":[{"id":"a","status":"paused"}]},"data":{"tasks":[{"id":"b"}]},"success":true})", a, ""},
        {"first data no object", R"({"data":[{"tasks":[{}]}],"data":{"tasks":[{}]},"success":true})", "[]", ""},
        {"first tasks no array", R"({"data":{"tasks":{"id":"b"},"tasks":[{"id":"b"}]},"success":true})", "[]", ""},
        {"names inside a task are the task's",
         R"({"data":{"tasks":[{"id":"a","status":"paused","success":false,"data":{"tasks":[1]},"error":{"code":1}}]},)"
         R"("success":true})",
         a, ""},
        {"success only at the root", R"({"data":{"tasks":[{}],"success":true},"x":{"success":true}})", "[]",
         "List tasks failed (code 0: Synology error)"},
        {"byte order mark", "\xEF\xBB\xBF" R"({"data":{"tasks":[{"id":"a","status":"paused"}]},"success":true})", a, ""},
        {"part of a byte order mark", "\xBF" R"({"data":{"tasks":[{"id":"a","status":"paused"}]},"success":true})", a,
         ""},
    };
    log_in();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.answer_json(c.body);
        EXPECT_EQ(c.result, ds_list_tasks_filtered("paused,downloading"));
        EXPECT_STREQ(c.error, ds_last_error());
    }
}

// Records are written before the rest of the answer is read; a fault later
// in the body, or a refusal, still decides the call.
TEST_F(TaskQueryTest, ListFailsOnWhatFollowsItsTasks)
{
    const std::string tasks = R"({"data":{"tasks":[{"id":"a","status":"paused"}]})";
    struct late_case { const char *name; std::string body; const char *error; };
    const late_case cases[] = {
        {"trailing text", tasks + R"(,"success":true} x)", nullptr},
        {"second value", tasks + R"(,"success":true}{})", nullptr},
        {"number too large", tasks + R"(,"success":true,"total":1e400})", nullptr},
        {"lone surrogate in a key", tasks + R"(,"success":true,"\udc00":1})", nullptr},
        {"invalid UTF-8", tasks + ",\"success\":true,\"note\":\"\xC3(\"}", nullptr},
        {"cut short", tasks + R"(,"success":true)", nullptr},
        {"refusal", tasks + R"(,"success":false,"error":{"code":105}})",
         "List tasks failed (code 105: The logged in session does not have permission)"},
    };
    log_in();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.answer_json(c.body);
        EXPECT_STREQ("[]", ds_list_tasks());
        EXPECT_EQ(c.error ? c.error : "Failed to parse list JSON: " + c.body, ds_last_error());
    }
}

TEST_F(TaskQueryTest, LargeListIsHandedOverWhole)
{
    log_in();
    const std::string title(300, 't');
    std::string tasks, expected = "[";
    for (int i = 0; i < 2000; ++i) {
        std::string id = "dbid_" + std::to_string(i);
        tasks += std::string(i ? "," : "") + R"({"id":")" + id + R"(","title":")" + title + R"(","status":"paused"})";
        expected += std::string(i ? "," : "") + R"({"id":")" + id + R"(","title":")" + title +
                    R"(","status":"paused","type":"","size_total":0,"size_downloaded":0,)"
                    R"("size_uploaded":0,"speed_download":0,"speed_upload":0,"destination":"",)"
                    R"("username":"","create_time":0,"started_time":0,"completed_time":0,)"
                    R"("progress":0.0,"eta_seconds":-1,"seed_ratio":0.0,"error_detail":"","uri":"",)"
                    R"("connected_peers":0,"connected_seeders":0,"connected_leechers":0,"total_peers":0})";
    }
    expected += "]";
    ASSERT_GT(expected.size(), 512u * 1024);
    server.answer_json(tasks_answer(tasks));
    EXPECT_EQ(expected, ds_list_tasks());
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(TaskQueryTest, MillionEmptyTasksFailAsTooLarge)
{
    log_in();
    std::string tasks = "{}";
    tasks.reserve(3'000'000);
    for (int i = 1; i < 1'000'000; ++i) tasks += ",{}";
    server.answer_json(tasks_answer(tasks));
    EXPECT_STREQ("[]", ds_list_tasks());
    EXPECT_STREQ("Result too large (over 64 MiB)", ds_last_error());
    // Records are written as they are built and the writing stops at the
    // limit; the whole list would take over 400 MiB of text alone.
    if (peak_memory_tells) {
        EXPECT_LT(peak_memory_mib(), 256);
    }
}

// Writing stops at the limit but reading goes on: a refusal or a fault after
// the tasks still decides the call.
TEST_F(TaskQueryTest, TooLargeListThenRefusalOrFault)
{
    log_in();
    std::string tasks = "{}";
    for (int i = 1; i < 200'000; ++i) tasks += ",{}";  // records of over 80 MiB
    const std::string data = R"({"data":{"tasks":[)" + tasks + "]}";
    server.answer_json(data + R"(,"success":false,"error":{"code":105}})");
    EXPECT_STREQ("[]", ds_list_tasks());
    EXPECT_STREQ("List tasks failed (code 105: The logged in session does not have permission)", ds_last_error());
    server.answer_json(data + R"(,"success":true} x)");
    EXPECT_STREQ("[]", ds_list_tasks());
    // The message quotes the body as far as the 1023 characters of a message go.
    EXPECT_EQ("Failed to parse list JSON: " + data.substr(0, 1023 - 27), ds_last_error());
}

TEST_F(TaskQueryTest, DeepNestingDoesNotCrash)
{
    log_in();
    const std::string deep = deep_array(1'000'000);
    server.answer_json(tasks_answer(deep + R"(,{"id":"a","status":"paused","additional":)" + deep + "}"));
    EXPECT_EQ("[" + std::string(defaults_record) + "," + plain_record("a", "paused") + "]", ds_list_tasks());
    server.answer_json(tasks_answer(deep));
    EXPECT_STREQ(defaults_record, ds_get_task("a"));
    EXPECT_STREQ("", ds_last_error());

    // Objects nested deep, inside a task's detail and in a member before data.
    std::string deep_object;
    for (int i = 0; i < 100'000; ++i) deep_object += R"({"a":)";
    deep_object += "1" + std::string(100'000, '}');
    server.answer_always(script_server::json_response(
        R"({"x":)" + deep_object + R"(,"data":{"tasks":[{"id":"a","status":"paused","additional":{"detail":)" +
        deep_object + R"(}}]},"success":true})"));
    EXPECT_EQ("[" + plain_record("a", "paused") + "]", ds_list_tasks());
    EXPECT_EQ(plain_record("a", "paused"), ds_get_task("a"));
    EXPECT_STREQ("", ds_last_error());
}

// ---- lookup ------------------------------------------------------------------------

TEST_F(TaskQueryTest, GetTaskEncodesTheIdAndTakesTheFirstTask)
{
    log_in();
    server.answer_json(tasks_answer(R"({"id":"other","status":"waiting"},{"id":"a b&c","status":"paused"})"));
    EXPECT_EQ(plain_record("other", "waiting"), ds_get_task("a b&c"));
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(get_line("/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1"
                       "&method=getinfo&id=a%20b%26c&additional=detail,transfer&_sid=SID"),
              last_request_line());
}

TEST_F(TaskQueryTest, GetTaskReadsTheFirstTaskWhereverSuccessStands)
{
    log_in();
    server.answer_json(R"({"data":{"tasks":[{"id":"a","status":"paused"},{"id":"b"}]},"success":true})");
    EXPECT_EQ(plain_record("a", "paused"), ds_get_task("a"));
    EXPECT_STREQ("", ds_last_error());
    server.answer_json(R"({"data":{"tasks":[{"id":"a","status":"paused"}]},"success":false,"error":{"code":404}})");
    EXPECT_STREQ("{}", ds_get_task("a"));
    EXPECT_STREQ("Task a not found (code 404: Invalid task id)", ds_last_error());
    server.answer_json(R"({"data":{"tasks":[]},"data":{"tasks":[{"id":"a"}]},"success":true})");
    EXPECT_STREQ("{}", ds_get_task("a"));
    EXPECT_STREQ("Task a not found in tasks array", ds_last_error());
    server.answer_json(R"({"data":{"tasks":[{"id":"a"}]},"success":true} x)");
    EXPECT_STREQ("{}", ds_get_task("a"));
    EXPECT_STREQ(R"(Failed to parse get task JSON: {"data":{"tasks":[{"id":"a"}]},"success":true} x)", ds_last_error());
}

TEST_F(TaskQueryTest, GetTaskFailures)
{
    const answer_case<const char *> cases[] = {
        {"no answer", nullptr, "{}", "HTTP get task request failed: Empty response from server"},
        {"not JSON", "<html>", "{}", "Failed to parse get task JSON: <html>"},
        {"empty body", "", "{}", "Failed to parse get task JSON: empty"},
        {"station code", R"({"success":false,"error":{"code":404}})", "{}",
         "Task a b&c%d not found (code 404: Invalid task id)"},
        {"no code", R"({"success":false,"error":{}})", "{}", "Task a b&c%d not found (code 0: Synology error)"},
        {"no data", R"({"success":true})", "{}", "Task a b&c%d not found in tasks array"},
        {"no tasks", R"({"success":true,"data":{"total":1}})", "{}", "Task a b&c%d not found in tasks array"},
        {"empty tasks", R"({"success":true,"data":{"tasks":[]}})", "{}", "Task a b&c%d not found in tasks array"},
        {"tasks not an array", R"({"success":true,"data":{"tasks":{"id":"a"}}})", "{}",
         "Task a b&c%d not found in tasks array"},
    };
    log_in();
    server.answer_json(tasks_answer(R"({"id":"kept","status":"paused"})"));
    const char *previous = ds_get_task("kept");
    const std::string kept = plain_record("kept", "paused");
    ASSERT_EQ(kept, previous);
    expect_answers(cases, [] { return ds_get_task("a b&c%d"); }, [&] { EXPECT_EQ(kept, previous); });
}

TEST_F(TaskQueryTest, GetTaskNeedsAnId)
{
    log_in();
    const unsent_case cases[] = {
        {"null", [] { return ds_get_task(nullptr); }, "{}", "Task ID cannot be empty"},
        {"empty", [] { return ds_get_task(""); }, "{}", "Task ID cannot be empty"},
    };
    expect_unsent(cases);
}
