// The converter program's interface, without Python: its name, the flags of
// its command line, the quoting of a command line for the Windows C runtime,
// and the line protocol of its standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zarn::conversion {

// Started by bare name, found through the program search path.
inline constexpr const char *kProgramName = "wbnc.exe";

// Put after the source paths: the protocol version and the flag that the
// destination path follows.
inline constexpr const char *kLeadingArguments[] = {"--background", "--zarn-protocol-version", "1", "-dest"};

inline constexpr const char *kStartFailureMessage =
    "The application for Wbn conversion, wbnc.exe, did not function properly. "
    "Please reinstall the Zarn SDK. https://zarn.example.org/sdk";

// The conversion options as plain truth values, each already decided.
struct OptionValues {
    bool overwrite = false;
    bool keep_only_ms1_spectra = false;
    bool keep_profile_spectra = false;
    bool srm = false;
    bool sim = false;
    bool qual = false;
    bool quan = false;
    bool dad = false;
    bool analog = false;
    bool force_split_by_measurement = false;
    bool keep_last_ms_function_in_mse = false;
    bool use_shimadzu_post_processing = false;
};

// The optional flags, in the one order the program is given them.
std::vector<const char *> option_flags(const OptionValues &values);

// One command line that the Microsoft C runtime splits back into exactly
// these arguments: an argument with a blank or a tab, or an empty one, is
// put in double quotes; a double quote is escaped with a backslash, and the
// backslashes before a double quote (or before the closing quote) are
// doubled. Other backslashes stay as they are. Works on UTF-8 bytes.
std::string windows_command_line(const std::vector<std::string> &arguments);

// What one line of the program's standard output carries.
struct LineUse {
    bool progress = false;  // a progress value
    bool result = false;    // a line of the result text
};

// The output protocol: marker lines open and close a progress block and a
// result block; other lines are content of the blocks open at that moment.
// Lines are given with their terminator.
class OutputProtocol {
public:
    LineUse feed(std::string_view line);
    // A result block has been opened and closed again.
    bool has_result_block() const { return result_closed_; }

private:
    bool in_progress_ = false;
    bool in_result_ = false;
    bool result_closed_ = false;
};

// The line with every CR LF pair taken out: the text of a progress value.
std::string without_crlf_pairs(std::string_view line);

}  // namespace zarn::conversion
