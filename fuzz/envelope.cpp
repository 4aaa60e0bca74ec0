// The answer envelope: strict parse, success, error code, data written back.
#include "fuzz_target.h"
#include "synology.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rapidjson::Document document;
    if (!parse_answer_body(reinterpret_cast<const char *>(data), size, document)) return 0;
    station_code(&document);
    const json_value *answer_data = member(&document, "data");
    if (!is_true(member(&document, "success")) || !answer_data) return 0;
    rapidjson::StringBuffer text;
    if (!write_json(*answer_data, text)) return 0;
    // What was written must read back as JSON.
    rapidjson::Document again;
    if (again.Parse<parse_flags>(text.GetString(), text.GetSize()).HasParseError()) std::abort();
    return 0;
}
