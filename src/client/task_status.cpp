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

bool status_is(const char *status, std::string_view word)
{
    return status && same_word_ignoring_case(status, word);
}

int is_pausable(const char *status)
{
    return status && !status_is(status, "paused") && !status_is(status, "finished") &&
                   !status_is(status, "error")
               ? 1
               : 0;
}

int is_completed_or_error(const char *status)
{
    return status_is(status, "finished") || status_is(status, "error") ? 1 : 0;
}

int is_resumable(const char *status) { return status_is(status, "paused") ? 1 : 0; }
