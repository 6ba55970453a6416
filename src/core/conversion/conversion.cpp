#include "conversion/conversion.hpp"

namespace zarn::conversion {

std::vector<const char *> option_flags(const OptionValues &v) {
    const std::pair<bool, const char *> table[] = {
        {v.overwrite, "-f"},
        {v.keep_only_ms1_spectra, "-ms1"},
        {v.keep_profile_spectra, "-kp"},
        {v.srm, "-srm"},
        {v.sim, "-sim"},
        {v.qual, "-qual"},
        {v.quan, "-quan"},
        {v.dad, "-dad"},
        {v.analog, "-analog"},
        {v.force_split_by_measurement, "--force-split-by-measurement"},
        {v.keep_last_ms_function_in_mse, "--keep-last-msfunc"},
        {v.use_shimadzu_post_processing, "--use-shimadzu-post-processing"},
    };
    std::vector<const char *> flags;
    for (const auto &[set, flag] : table)
        if (set) flags.push_back(flag);
    return flags;
}

namespace {

void append_quoted(std::string &out, std::string_view arg) {
    const bool quote = arg.empty() || arg.find_first_of(" \t") != std::string_view::npos;
    if (quote) out += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count literally unless a double quote follows them.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(quote ? 2 * backslashes : backslashes, '\\');
    if (quote) out += '"';
}

bool starts_with(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

}  // namespace

std::string windows_command_line(const std::vector<std::string> &arguments) {
    std::string line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i) line += ' ';
        append_quoted(line, arguments[i]);
    }
    return line;
}

LineUse OutputProtocol::feed(std::string_view line) {
    if (line.empty()) return {};
    // Prefix tests, case-sensitive, terminator still attached.
    if (starts_with(line, "### Start Progress")) {
        in_progress_ = true;
    } else if (starts_with(line, "### End Progress")) {
        in_progress_ = false;
    } else if (starts_with(line, "### Start ConversionResult")) {
        in_result_ = true;
    } else if (starts_with(line, "### End ConversionResult")) {
        if (in_result_) result_closed_ = true;
        in_result_ = false;
    } else {
        return {in_progress_, in_result_};
    }
    return {};
}

std::string without_crlf_pairs(std::string_view line) {
    std::string text;
    text.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') {
            ++i;
            continue;
        }
        text += line[i];
    }
    return text;
}

}  // namespace zarn::conversion
