// The copy of the device's records for the site's syslog: with
// "system:syslog" set to "yes", every operation-log row and every call-detail
// line also goes, one datagram each, to the local syslog socket "/dev/log".
#pragma once
#include <cstddef>
#include <ctime>

// Sends "<30>Mmm dd hh:mm:ss callctld: <kind>: <text>" (facility daemon,
// severity info) when the setting is on; text is the row or line as written
// to its file, without its line end. Never blocks: a missing or full socket
// drops the datagram, with one line on standard output per episode.
void site_syslog(const char* kind, const char* text);

// The datagram for text at time t (local time), into dst of capacity cap;
// returns its length (cut at the capacity).
size_t site_syslog_format(char* dst, size_t cap, time_t t, const char* kind, const char* text);
