// The answer envelope: strict parse, success, error code, data written back.
#include "fuzz_target.h"
#include "synology.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    json_document document;
    if (!parse_answer_body(reinterpret_cast<const char *>(data), size, document)) return 0;
    station_code(&document);
    const json_value *answer_data = member(&document, "data");
    if (is_true(member(&document, "success")) && answer_data) {
        json_text data_text;
        write_json(*answer_data, data_text);
    }
    // What is written reads back, and writes again the same.
    json_text text;
    if (!write_json(document, text)) return 0;
    json_document again;
    if (!parse_answer_body(text.GetString(), text.GetSize(), again)) std::abort();
    json_text text_again;
    write_json(again, text_again);
    if (text.GetSize() != text_again.GetSize() ||
        std::memcmp(text.GetString(), text_again.GetString(), text.GetSize()) != 0)
        std::abort();
    return 0;
}
