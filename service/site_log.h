// The copy of the device's records for the site's syslog: with
// "system:syslog" set to "yes", every operation-log row and every call-detail
// line also goes, one datagram each, to the local syslog socket "/dev/log".
#pragma once

// Sends "<30>Mmm dd hh:mm:ss callctld: <kind>: <text>" (facility daemon,
// severity info) when the setting is on; text is the row or line as written
// to its file, without its line end. Never blocks: a missing or full socket
// drops the datagram, with one line on standard output per episode.
void site_syslog(const char* kind, const char* text);

