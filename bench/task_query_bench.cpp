// The task list, timed in parts: the whole ds_list_tasks and ds_get_task
// calls against a loopback station, the list over HTTP and over HTTPS (what
// a handshake costs each call), the bare HTTP exchange of the same bytes
// (the floor no call can go below), and in parts: the parse of the answer
// into a document and the flattening from it, which every other call's
// answer goes through, and the list's reading as the answer is parsed.
#include "script_server.h"
#include "tls_loopback_server.h"
#include "synology_ds.h"
#include "synology.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

constexpr const char *list_path =
    "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=list"
    "&additional=detail,transfer&_sid=SID";

// One task as the station describes it today, with detail and transfer:
// statuses, sizes and speeds vary from task to task; a failed task carries
// its reason in status_extra, the others null.
std::string task_json(int i)
{
    static const char *const statuses[] = {"downloading", "downloading", "seeding", "finished",
                                           "paused", "waiting", "error"};
    const std::string n = std::to_string(i);
    const long long size = 700'000'000LL + 1'000'003LL * i;
    const long long done = size / 100 * (i % 101);
    const bool failed = i % 7 == 6;
    char text[2048];
    std::snprintf(
        text, sizeof text,
        R"({"id":"dbid_%d","type":"%s","username":"admin",)"
        R"("title":"Distribution.Live.Image.%s.x86_64.DVD.Release.iso","size":%lld,)"
        R"("status":"%s","status_extra":%s,"additional":{"detail":{"completed_time":%d,)"
        R"("connected_leechers":%d,"connected_peers":%d,"connected_seeders":%d,)"
        R"("create_time":%d,"destination":"downloads/images","error_code":%d,)"
        R"("priority":"auto","started_time":%d,"total_peers":%d,"total_pieces":%d,)"
        R"("uri":"https://mirror.example.org/pub/releases/x86_64/iso/image-%s-dvd.iso",)"
        R"("waiting_seconds":0},"transfer":{"downloaded_pieces":%d,"size_downloaded":%lld,)"
        R"("size_uploaded":%lld,"speed_download":%d,"speed_upload":%d}}})",
        1000 + i, i % 3 ? "bt" : "https", n.c_str(), size, statuses[i % 7],
        failed ? R"({"error_detail":"broken_link"})" : "null", i % 7 == 3 ? 1'700'090'000 + i : 0, i % 9,
        i % 17, i % 11, 1'700'000'000 + i, failed ? 408 : 0, 1'700'000'100 + i, 40 + i % 50, 2800 + i % 100,
        n.c_str(), 1400 + i % 100, done, done / 3, (i % 5) * 250'000, (i % 4) * 30'000);
    return text;
}

// The station now sends data before success.
std::string list_answer(int count)
{
    std::string body = R"({"data":{"offset":0,"tasks":[)";
    for (int i = 0; i < count; ++i) {
        if (i) body += ',';
        body += task_json(i);
    }
    return body + R"(],"total":)" + std::to_string(count) + R"(},"success":true})";
}

// A logged-in session with a loopback station that answers every request
// with the same list of count tasks.
class loopback_station {
public:
    explicit loopback_station(int count) : answer_(list_answer(count))
    {
        server_.answer_json(R"({"success":true,"data":{"sid":"SID"}})");
        if (ds_connect("127.0.0.1", server_.port(), "user", "pass") != 0)
            std::fprintf(stderr, "login failed: %s\n", ds_last_error());
        server_.answer_always(script_server::json_response(answer_));
    }
    ~loopback_station()
    {
        server_.close_without_answer();
        ds_disconnect();
    }
    int port() const { return server_.port(); }
    const std::string &answer() const { return answer_; }

private:
    std::string answer_;
    script_server server_;
};

// The same over HTTPS, the station's self-signed certificate pinned by its
// fingerprint.
class tls_station {
public:
    explicit tls_station(int count)
        : answer_(list_answer(count)),
          server_(script_server::json_response(R"({"success":true,"data":{"sid":"SID"}})"),
                  script_server::json_response(answer_))
    {
        const std::string options = R"({"https":true,"fingerprint_sha256":")" + server_.fingerprint() + R"("})";
        if (ds_connect_with("127.0.0.1", server_.port(), "user", "pass", options.c_str()) != 0)
            std::fprintf(stderr, "login failed: %s\n", ds_last_error());
    }
    ~tls_station() { ds_disconnect(); }
    const std::string &answer() const { return answer_; }

private:
    std::string answer_;
    tls_loopback_server server_;
};

void count_work(benchmark::State &state, size_t answer_bytes)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer_bytes));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void list_call(benchmark::State &state)
{
    loopback_station station(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const char *tasks = ds_list_tasks();
        if (tasks[1] != '{') state.SkipWithError(ds_last_error());
        benchmark::DoNotOptimize(tasks);
    }
    count_work(state, station.answer().size());
}

// The lookup reads the first task of the same answer and passes over the rest.
void get_task_call(benchmark::State &state)
{
    loopback_station station(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const char *task = ds_get_task("dbid_1000");
        if (task[0] != '{' || task[1] != '"') state.SkipWithError(ds_last_error());
        benchmark::DoNotOptimize(task);
    }
    count_work(state, station.answer().size());
}

void list_call_https(benchmark::State &state)
{
    tls_station station(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const char *tasks = ds_list_tasks();
        if (tasks[1] != '{') state.SkipWithError(ds_last_error());
        benchmark::DoNotOptimize(tasks);
    }
    count_work(state, station.answer().size());
}

void bare_exchange(benchmark::State &state)
{
    loopback_station station(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        scoped_response response;
        char error[http_error_capacity];
        if (http_request("GET", "127.0.0.1", station.port(), list_path, "id=SID", nullptr, nullptr, 0,
                         10, &response, error, sizeof error) != 0)
            state.SkipWithError(error);
        benchmark::DoNotOptimize(response.body);
    }
    count_work(state, station.answer().size());
}

void parse_alone(benchmark::State &state)
{
    const std::string answer = list_answer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        json_document document;
        benchmark::DoNotOptimize(parse_answer_body(answer.data(), answer.size(), document));
    }
    count_work(state, answer.size());
}

void flattening_alone(benchmark::State &state)
{
    const std::string answer = list_answer(static_cast<int>(state.range(0)));
    json_document document;
    parse_answer_body(answer.data(), answer.size(), document);
    const json_value *tasks = member(member(&document, "data"), "tasks");
    const status_filter all(nullptr);
    for (auto _ : state) {
        json_text out;
        write_task_records(tasks, all, out);
        benchmark::DoNotOptimize(out.GetString());
    }
    count_work(state, answer.size());
}

// What the list call does once its answer has arrived: the answer read as
// it is parsed, and the records written.
void reading_alone(benchmark::State &state)
{
    const std::string answer = list_answer(static_cast<int>(state.range(0)));
    const status_filter all(nullptr);
    std::string body;
    for (auto _ : state) {
        state.PauseTiming();
        body = answer;  // read in place, so afresh each time
        state.ResumeTiming();
        json_text out;
        benchmark::DoNotOptimize(read_task_list(body.data(), body.size(), all, out));
        benchmark::DoNotOptimize(out.GetString());
    }
    count_work(state, answer.size());
}

void task_counts(benchmark::internal::Benchmark *b)
{
    b->Arg(1)->Arg(100)->Arg(1000)->Arg(5000)->UseRealTime()->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(list_call)->Apply(task_counts);
BENCHMARK(list_call_https)->Apply(task_counts);
BENCHMARK(get_task_call)->Apply(task_counts);
BENCHMARK(bare_exchange)->Apply(task_counts);
BENCHMARK(parse_alone)->Apply(task_counts);
BENCHMARK(flattening_alone)->Apply(task_counts);
BENCHMARK(reading_alone)->Apply(task_counts);

BENCHMARK_MAIN();
