// Read access to the device settings (INI files). Nothing is cached: every
// look-up reads and checks the whole file anew, so an edited setting takes
// effect at its next use. GetCmdValue scans the file for its one key with the
// library's line rules; readers that take several keys from one copy load
// the file into a dictionary (settings_load).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

struct _dictionary_;
typedef struct _dictionary_ dictionary;

// Looks up "section:key" in the settings file at path (a device path; the
// device root is put in front). Returns 1 when the file was loaded (value
// holds the setting, "" when missing), 0 when it could not be loaded
// ("cannot parse file: %s\n" on standard error, value untouched).
int GetCmdValue(const char* file, const char* key, char* value, int size);

// The same for a caller's array: the buffer starts as the empty text, so a
// file that cannot be loaded reads like a missing key.
template <size_t N>
inline int GetCmdValue(const char* file, const char* key, char (&value)[N]) {
    value[0] = '\0';
    return GetCmdValue(file, key, value, static_cast<int>(N));
}

// Loading a settings file for readers that take several keys from one copy.
// Prints "cannot parse file: %s\n" on standard error and returns NULL on
// failure. Free with settings_free.
dictionary* settings_load(const char* file);
void settings_free(dictionary* d);
// The same without any message: for readers that look every minute whether a
// feature is switched on, and must stay silent while it is not.
dictionary* settings_load_quiet(const char* file);

// A text value; NULL entries (a section name used as a key) read as def.
const char* settings_string(const dictionary* d, const char* key, const char* def);
// An integer value, read as text and converted like the library does
// (strtol, base 0); def when the key is missing or has no value.
int settings_int(const dictionary* d, const char* key, int def);

// One line of a settings file as the reader sees it, for tools that report
// where a setting stands. Names are lower case, as the reader keeps them.
struct SettingsLine {
    enum Kind { Section, Entry, Error };
    Kind kind;
    int line;          // number of the (first) physical line, from 1
    std::string name;  // "section" or "section:key"
    std::string value; // an entry's value as the reader takes it
    std::string text;  // the logical line, continuations joined
};
// Reads the settings file at path (a device path) by the same rules as
// settings_load, listing every section, entry and refused line (comments and
// blank lines left out). Returns false when the file cannot be read.
bool settings_scan(const char* file, std::vector<SettingsLine>* out);

// An on/off setting is on exactly when its value is "yes".
bool is_yes(const char* value);

// A setting of whole seconds: only decimal digits count; missing, empty or
// anything else reads as 0 (off). Larger values are clamped.
enum : unsigned long { SETTINGS_SECONDS_MAX = 1000000000UL };
unsigned long settings_seconds(const char* value);
