// The task-status vocabulary: the five words the library knows, compared
// without regard to ASCII letter case, and the selectors of the bulk actions.
#include "synology.h"

bool same_word_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool status_is(task_status status, std::string_view word)
{
    return status && same_word_ignoring_case(*status, word);
}

task_status status_of(const json_value *task)
{
    const json_value *status = member(task, "status");
    if (!status || !status->IsString()) return std::nullopt;
    return std::string_view(status->GetString(), status->GetStringLength());
}

bool is_pausable(task_status status)
{
    return status && !status_is(status, "paused") && !status_is(status, "finished") && !status_is(status, "error");
}

bool is_completed_or_error(task_status status)
{
    return status_is(status, "finished") || status_is(status, "error");
}

bool is_resumable(task_status status) { return status_is(status, "paused"); }
