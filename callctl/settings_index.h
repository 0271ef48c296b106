// The index of every settings section and key callctld (and its optional
// features) reads, per settings file: the one place that says which names are
// real, for the check of misspelt and unused settings.
#pragma once
#include <string>
#include <vector>

namespace callctl {

struct KnownSection {
    std::string name;               // as written in the daemon's code
    std::vector<std::string> keys;  // the keys read in it, as written
};

// The sections and keys read from a settings file (device path such as
// "/etc/speaker.conf"); empty for any other file.
const std::vector<KnownSection>& known_sections(const std::string& file);

// Whether "section:key" (any letter case: the reader folds names to lower
// case) is read from file. onekey_line is the value of
// "intercom:onekey_line": the action request reads "<onekey_line>:username".
bool is_known_key(const std::string& file, const std::string& name, const std::string& onekey_line);
bool is_known_section(const std::string& file, const std::string& section, const std::string& onekey_line);

// The real name closest to a misspelt one, "" when none is close. Keys are
// looked for in the same section; sections among the file's sections.
std::string closest_key(const std::string& file, const std::string& name);
std::string closest_section(const std::string& file, const std::string& section);

}  // namespace callctl
