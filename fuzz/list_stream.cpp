// The task list and lookup read as their answers are parsed, against the
// same answers parsed whole into a document: any body must give both the
// same result text and the same message, for the list without a filter,
// with one, and for the lookup.
#include "fuzz_target.h"
#include "synology.h"
#include "task_record.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct outcome {
    std::string result;
    std::string message;
};

outcome finish(const char *result) { return {result, last_error_text()}; }

// The answer parsed whole, as every other call reads its answer.
struct parsed_answer {
    explicit parsed_answer(const std::string &body) : parsed(parse_answer_body(body.data(), body.size(), document)) {}
    json_document document;
    bool parsed;
};

// The list as the document gives it.
outcome list_from_document(const std::string &body, const parsed_answer &answer, const char *filter_text)
{
    clear_error();
    if (!answer.parsed) {
        set_error("Failed to parse list JSON: %s", body.empty() ? "empty" : body.c_str());
        return finish("[]");
    }
    const json_value *root = &answer.document;
    if (!is_true(member(root, "success"))) {
        const int code = station_code(root);
        set_error("List tasks failed (code %d: %s)", code, syno_error_str(code));
        return finish("[]");
    }
    const status_filter filter(filter_text);
    json_text out;
    write_task_records(member(member(root, "data"), "tasks"), filter, out);
    return finish(hand_over(std::move(out), "[]"));
}

// The lookup as the document gives it.
outcome task_from_document(const std::string &body, const parsed_answer &answer, const char *task_id)
{
    clear_error();
    if (!answer.parsed) {
        set_error("Failed to parse get task JSON: %s", body.empty() ? "empty" : body.c_str());
        return finish("{}");
    }
    const json_value *root = &answer.document;
    if (!is_true(member(root, "success"))) {
        const int code = station_code(root);
        set_error("Task %s not found (code %d: %s)", task_id, code, syno_error_str(code));
        return finish("{}");
    }
    const json_value *tasks = member(member(root, "data"), "tasks");
    if (!tasks || !tasks->IsArray() || tasks->Empty()) {
        set_error("Task %s not found in tasks array", task_id);
        return finish("{}");
    }
    json_text out;
    json_writer writer(out);
    emit_task_record(read_task_fields(&(*tasks)[0]), writer);
    return finish(hand_over(std::move(out), "{}"));
}

// The body as the exchange hands it over: NUL-terminated, and writable, for
// it is read in place.
http_response response_of(std::string &body)
{
    http_response response{};
    response.status_code = 200;
    response.body = body.data();
    response.body_len = body.size();
    return response;
}

void expect_same(const char *what, const std::string &body, const outcome &streamed, const outcome &whole)
{
    if (streamed.result == whole.result && streamed.message == whole.message) return;
    std::fprintf(stderr, "%s differs for a body of %zu bytes\nstreamed: %s\n  %s\ndocument: %s\n  %s\n", what,
                 body.size(), streamed.result.c_str(), streamed.message.c_str(), whole.result.c_str(),
                 whole.message.c_str());
    std::abort();
}

void compare_list(const std::string &original, const parsed_answer &answer, const char *filter_text)
{
    std::string body = original;
    clear_error();
    http_response response = response_of(body);
    const outcome streamed = finish(tasks_of_answer(response, filter_text));
    expect_same(filter_text ? filter_text : "unfiltered list", original, streamed,
                list_from_document(original, answer, filter_text));
}

void compare_lookup(const std::string &original, const parsed_answer &answer)
{
    const char *task_id = "dbid_1";
    std::string body = original;
    clear_error();
    http_response response = response_of(body);
    const outcome streamed = finish(task_of_answer(response, task_id));
    expect_same("lookup", original, streamed, task_from_document(original, answer, task_id));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string body(reinterpret_cast<const char *>(data), size);
    const parsed_answer answer(body);
    compare_list(body, answer, nullptr);
    compare_list(body, answer, "downloading, PAUSED,error");
    compare_list(body, answer, ",\t,");  // takes only the empty status
    compare_lookup(body, answer);
    return 0;
}
