// Reading station values by their types, and writing JSON without recursion.
#include "synology.h"

#include <cstdlib>
#include <new>
#include <vector>

void *json_allocator::Malloc(size_t size)
{
    if (size == 0) return nullptr;  // RapidJSON asks for nothing and expects null
    void *block = std::malloc(size);
    if (!block) throw std::bad_alloc();
    return block;
}

void *json_allocator::Realloc(void *block, size_t, size_t new_size)
{
    if (new_size == 0) {
        std::free(block);
        return nullptr;
    }
    void *grown = std::realloc(block, new_size);
    if (!grown) throw std::bad_alloc();  // block is still owned by the caller
    return grown;
}

void json_allocator::Free(void *block) { std::free(block); }

const json_value *member(const json_value *value, std::string_view name)
{
    if (!value || !value->IsObject()) return nullptr;
    for (auto m = value->MemberBegin(); m != value->MemberEnd(); ++m) {
        if (std::string_view(m->name.GetString(), m->name.GetStringLength()) == name) return &m->value;
    }
    return nullptr;
}

bool is_integer(const json_value *value) { return value && (value->IsInt64() || value->IsUint64()); }

int64_t int64_or_zero(const json_value *value)
{
    if (!is_integer(value)) return 0;
    return value->IsInt64() ? value->GetInt64() : static_cast<int64_t>(value->GetUint64());
}

int32_t int32_or_zero(const json_value *value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(int64_or_zero(value)));
}

std::string_view string_or_empty(const json_value *value)
{
    if (!value || !value->IsString()) return {};
    return {value->GetString(), value->GetStringLength()};
}

const char *string_or_null(const json_value *value)
{
    return value && value->IsString() ? value->GetString() : nullptr;
}

bool is_true(const json_value *value) { return value && value->IsTrue(); }

bool result_too_large(const json_text &text) { return text.GetSize() > result_limit; }

bool write_json(const json_value &value, json_text &out)
{
    json_writer writer(out);
    struct frame {
        const json_value *container;
        rapidjson::SizeType next;
    };
    std::vector<frame> open;  // the containers being written, outermost first
    const json_value *v = &value;
    unsigned steps = 0;
    for (;;) {
        if (v) {
            if (++steps % 4096 == 0 && result_too_large(out)) return false;
            if (v->IsObject()) {
                writer.StartObject();
                open.push_back({v, 0});
            } else if (v->IsArray()) {
                writer.StartArray();
                open.push_back({v, 0});
            } else if (v->IsString()) {
                writer.String(v->GetString(), v->GetStringLength());
            } else if (v->IsBool()) {
                writer.Bool(v->GetBool());
            } else if (v->IsNull()) {
                writer.Null();
            } else if (v->IsDouble()) {
                writer.Double(v->GetDouble());
            } else if (v->IsInt64()) {
                writer.Int64(v->GetInt64());
            } else {
                writer.Uint64(v->GetUint64());
            }
            v = nullptr;
        }
        if (open.empty()) break;
        frame &top = open.back();
        if (top.container->IsObject()) {
            if (top.next < top.container->MemberCount()) {
                const auto &m = top.container->MemberBegin()[top.next++];
                writer.Key(m.name.GetString(), m.name.GetStringLength());
                v = &m.value;
                continue;
            }
            writer.EndObject();
        } else {
            if (top.next < top.container->Size()) {
                v = &(*top.container)[top.next++];
                continue;
            }
            writer.EndArray();
        }
        open.pop_back();
    }
    return !result_too_large(out);
}

const char *hand_over_json(const json_value *data, const char *failure_value)
{
    json_text text;
    if (!data) {
        text.Put('{');
        text.Put('}');
    } else if (!write_json(*data, text)) {
        record_result_too_large();
        return failure_value;
    }
    return hand_over(std::move(text), failure_value);
}
