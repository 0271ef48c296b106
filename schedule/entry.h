// The settings of one schedule entry, read through its section
// "schedule_<n>" of a loaded schedule file. Shared by the evaluation, the
// reasons an entry never plays and the preview, so every reader builds the
// key names the same way.
#pragma once
#include <cstddef>

#include "settings.h"
#include "text.h"

class ScheduleEntry {
public:
    ScheduleEntry(const dictionary* d, int n) : d_(d), n_(n) {}
    // A text value cut to the field it is held in.
    template <size_t N>
    void text(const char* key, const char* def, char (&out)[N]) const {
        str_copy(out, settings_string(d_, name(key), def));
    }
    int number(const char* key, int def) const { return settings_int(d_, name(key), def); }
    const char* value(const char* key, const char* def) const { return settings_string(d_, name(key), def); }

private:
    const char* name(const char* key) const {
        str_format(key_, sizeof key_, "schedule_%d:%s", n_, key);
        return key_;
    }
    const dictionary* d_;
    int n_;
    mutable char key_[64];
};
