// Help in the manner of a manual page: for ds and for each subcommand a
// description, its options, examples and the exit statuses; checks of
// numeric options that name plain ranges; the closest command to a word.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>

// Draws an app's help with its long description under its one-line one.
class manual_formatter : public CLI::Formatter {
public:
    void describe(const CLI::App *app, std::string text) { descriptions_[app] = std::move(text); }
    std::string make_description(const CLI::App *app) const override;

private:
    std::map<const CLI::App *, std::string> descriptions_;
};

// Gives app its long description and a footer of examples and exit statuses.
void document(manual_formatter &formatter, CLI::App *app, const std::string &description,
              const std::string &examples);

// The help footer of ds itself.
std::string main_footer();

// Whole numbers from min to max; "VALUE is out of range: give a whole number
// from MIN to MAX" (or "of MIN or more" when max is the type's largest).
CLI::Validator whole_range(long min, long max);
// Numbers of min or more.
CLI::Validator number_at_least(double min);

// The name in names nearest to word (by edit distance), the first on a tie.
std::string closest(const std::string &word, const std::vector<std::string> &names);
