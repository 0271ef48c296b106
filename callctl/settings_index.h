// The index of every settings section and key callctld (and its optional
// features) reads, per settings file: the one place that says which names are
// real, for the check of misspelt and unused settings, and how the daemon
// reads each value, for the check of values it misreads.
#pragma once
#include <climits>
#include <string>
#include <vector>

namespace callctl {

// How callctld reads a value (the reader itself is the daemon's; see check).
enum class Reading {
    Text,     // taken as written (or checked by its own rule)
    Flag,     // on exactly when "yes"
    Decimal,  // a count read with atoi: "two" reads as 0, "5x" as 5
    Seconds,  // whole seconds, digits only: anything else reads as 0 (off)
    Release,  // a release duration: read like Decimal, held within 0..4294
    Integer,  // a schedule number, read with base 0: "010" is 8, "08" is 0
    CatchUp,  // the driver's catch-up minutes: digits only, else 180
    Sunday,   // the driver's numbering: Sunday 0 for exactly "0", else Sunday 7 ("00" too)
    Choice,   // compared with each of its choices, letter case and all
};

struct KeyRule {
    Reading reading = Reading::Text;
    long min = 0;  // the whole numbers that mean what they say
    long max = LONG_MAX;
    const char* choices = "";  // Choice: the words the daemon knows, '|' between
};

// The rule of "section:key" in file (any letter case); Text for a name the
// index does not hold.
KeyRule key_rule(const std::string& file, const std::string& name);

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
