// The flattened task record from arbitrary JSON.
#include "fuzz_target.h"
#include "synology.h"

#include <cstdint>
#include <cstdlib>

namespace {

void check_record(const json_value *task)
{
    json_document scratch;
    json_value record = build_flattened_task_val(scratch.GetAllocator(), task);
    if (!record.IsObject() || record.MemberCount() != 23) std::abort();
    json_text text;
    json_writer writer(text);
    record.Accept(writer);
    json_document again;
    if (again.Parse<parse_flags>(text.GetString(), text.GetSize()).HasParseError()) std::abort();
    const json_value *progress = member(&again, "progress");
    if (!progress || !progress->IsNumber() || progress->GetDouble() < 0.0 || progress->GetDouble() > 1.0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    json_document document;
    if (!parse_answer_body(reinterpret_cast<const char *>(data), size, document)) {
        check_record(nullptr);
        return 0;
    }
    if (!document.IsArray()) {
        check_record(&document);
        return 0;
    }
    for (const auto &task : document.GetArray()) check_record(&task);
    return 0;
}
