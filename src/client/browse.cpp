// Browsing the NAS's folders: the shared folders and the sub-folders of a
// path, each listed as a reduced entry of our own.
#include "synology_ds.h"
#include "synology.h"

#include <string>

namespace {

const call_words shares_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP list shares request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse list shares JSON: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("List shares failed (code %d: %s)", code, meaning);
    },
};
// The station message names the folder path as the caller passed it.
const call_words folders_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP list folders request failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse list folders JSON: %s", body); },
    .station = [](const char *folder_path, int code, const char *meaning) {
        set_error("List folders in %s failed (code %d: %s)", folder_path, code, meaning);
    },
};

// Where a listing keeps its items in data, and whether its entries carry "desc".
struct entry_kind {
    const char *items;
    bool with_desc;
};
constexpr entry_kind share_entry = {"shares", true};
constexpr entry_kind folder_entry = {"files", false};

using entry_writer = json_writer;

void write_string_member(entry_writer &out, const char *key, const json_value *item)
{
    const std::string_view text = string_or_empty(member(item, key));
    out.Key(key);
    out.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

// Any element gives one entry: one that is no object gives "" strings and
// isdir false. Only the literal true makes a directory.
void write_entry(entry_writer &out, const json_value &item, const entry_kind &kind)
{
    out.StartObject();
    write_string_member(out, "name", &item);
    write_string_member(out, "path", &item);
    if (kind.with_desc) write_string_member(out, "desc", &item);
    out.Key("isdir");
    out.Bool(is_true(member(&item, "isdir")));
    out.EndObject();
}

// Writes one entry per element of data's item array, in the station's order;
// "[]" when data holds no such array.
const char *hand_over_entries(const json_value *data, const entry_kind &kind)
{
    json_text text;
    entry_writer out(text);
    out.StartArray();
    const json_value *items = member(data, kind.items);
    if (items && items->IsArray()) {
        for (const json_value &item : items->GetArray()) {
            if (result_too_large(text)) break;  // hand_over refuses it with its message
            write_entry(out, item, kind);
        }
    }
    out.EndArray();
    return hand_over(std::move(text), "[]");
}

const char *list_entries(const call_scope &call, const request &req, const call_words &words,
                         const entry_kind &kind, const char *subject = nullptr)
{
    answer a;
    if (!call.send(req, words, a, subject)) return "[]";
    return hand_over_entries(a.data, kind);
}

const char *list_shares()
{
    call_scope call;
    if (!call.connected()) return "[]";
    request req;
    req.path = list_share_path;
    return list_entries(call, req, shares_words, share_entry);
}

// The station wants an absolute path; nothing else is rewritten, so a
// trailing "/" and doubled separators stay.
std::string absolute_folder_path(const char *folder_path)
{
    std::string path;
    if (folder_path[0] != '/') path = "/";
    return path.append(folder_path);
}

const char *list_folders(const char *folder_path)
{
    call_scope call;
    if (!call.connected()) return "[]";
    if (!folder_path || !*folder_path) {
        set_error("Share path cannot be empty");
        return "[]";
    }
    request req;
    req.path = std::string(list_folder_path) + "&folder_path=" +
               url_encoded(absolute_folder_path(folder_path).c_str()) + "&filetype=dir";
    return list_entries(call, req, folders_words, folder_entry, folder_path);
}

}  // namespace

const char *ds_list_shares(void)
{
    return guarded("[]", [] { return list_shares(); });
}

const char *ds_list_folders(const char *folder_path)
{
    return guarded("[]", [&] { return list_folders(folder_path); });
}
