// What ds reads besides its arguments: URL lists from files or standard
// input, read as they come, and Ctrl-C during long work.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// From now on SIGINT and SIGTERM set a flag instead of ending ds, so that
// long work stops between two requests, says how far it got and signs out. A
// second Ctrl-C ends ds at once.
void catch_interrupts();
bool interrupted();

// The library's rule for a batch of URLs: a line ends at CR or LF (any mix),
// blanks (isspace) around it are trimmed, empty lines are dropped.
std::vector<std::string> split_urls(std::string_view text);

// The URLs of a file, or of standard input for "-", by the same rule, each
// handed out as soon as its line is complete.
class url_source {
public:
    explicit url_source(const std::string &path);
    ~url_source();
    url_source(const url_source &) = delete;
    url_source &operator=(const url_source &) = delete;

    enum result { url, end, failed, stopped };
    // The next URL; failed with error() set when the file cannot be read,
    // stopped when interrupted while waiting for input.
    result next(std::string &out);
    // "cannot read PATH: WHY", WHY as strerror gives it.
    const std::string &error() const { return error_; }

private:
    // Reads more into pending_; false at the end, on failure or when stopped.
    bool fill(result &why);

    std::string path_;
    int fd_ = -1;
    bool owned_ = false;
    bool at_end_ = false;
    std::string pending_;  // read, from consumed_ on not yet handed out
    size_t consumed_ = 0;
    std::string error_;
};
