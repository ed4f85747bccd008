#pragma once

// The part of a CLI11 parse that orbtray and orbsim share: what --help, --version and a refused
// command line become. Both programs print the text and exit themselves (0 for help and version,
// 2 for a refusal), so that tests can parse without a process of their own.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

enum class ParseEnd { Run, Help, Version, Refused };

struct ParseOutcome {
    ParseEnd end = ParseEnd::Run;
    // Help: the help text. Version: the version line. Refused: why, without the program's name.
    std::string text;
};

// The first argument that neither the program nor its command took, as a complaint that names the
// command; empty when every argument was taken.
inline std::string DescribeUnexpected(const CLI::App& app) {
    const CLI::App* holder = &app;
    std::vector<std::string> left = app.remaining();
    for (const CLI::App* command : app.get_subcommands()) {
        if (left.empty()) {
            holder = command;
            left = command->remaining();
        }
    }
    if (left.empty()) {
        return "";
    }
    std::string first = left.front();
    const bool option = first.size() > 1 && first[0] == '-';
    if (option) {
        first.erase(std::min(first.find('='), first.size()));
    }
    const std::string quoted = "'" + first + "'";
    if (holder != &app) {
        return holder->get_name() + (option ? " takes no option " : " takes no argument ") + quoted;
    }
    return (option ? "unknown option " : "unexpected argument ") + quoted;
}

// `arguments` excludes the program name.
inline ParseOutcome ParseArguments(CLI::App& app, const std::vector<std::string_view>& arguments) {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForVersion& version) {
        return {ParseEnd::Version, version.what() + std::string("\n")};
    } catch (const CLI::CallForHelp&) {
        // Every command with every option, or only the command the help was asked of.
        return {ParseEnd::Help, app.help("", CLI::AppFormatMode::All)};
    } catch (const CLI::ParseError& refused) {
        // An argument nobody expected is most likely mistyped, and what it was meant to be may
        // well be the "required" option CLI11 would complain about first. (CLI11's own list of
        // them also comes out last first.)
        const std::string unexpected = DescribeUnexpected(app);
        return {ParseEnd::Refused, unexpected.empty() ? refused.what() : unexpected};
    }
    return {};
}
