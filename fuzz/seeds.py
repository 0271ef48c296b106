#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are the messages, lists, settings files and values the tests use,
plus the inputs that trip the libraries the daemon builds on: a 1023-character
settings line, a section named like a key ("[sip:port]"), a member in the
wrong case ({"TYPE": ...}), arrays nested 1001 deep, and 1e300.
Run it again after changing a target's input layout: python3 fuzz/seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def ev(typ, direction="incoming", more=""):
    return '{"type":"%s","direction":"%s","event":true%s}' % (typ, direction, more)


CALL = ',"accountaor":"sip:201@192.168.1.10","peeruri":"sip:202@192.168.1.20"'
DEEP = "[" * 1001 + "]" * 1001
DEEP_OK = "[" * 1000 + "]" * 1000

# ---- SIP dispatcher: control byte, shape byte, payload ----------------------
session = {
    "incoming": ev("CALL_INCOMING", more=CALL),
    "outgoing": ev("CALL_OUTGOING", "outgoing", ',"accountaor":"sip:201@192.168.1.10","peeruri":"sip:1002;transport=udp"'),
    "established_in": ev("CALL_ESTABLISHED", more=CALL),
    "established_out": ev("CALL_ESTABLISHED", "outgoing", CALL),
    "closed": ev("CALL_CLOSED", more=CALL + ',"param":"Connection reset by user"'),
    "closed_out": ev("CALL_CLOSED", "outgoing", CALL + ',"param":"486 Busy Here"'),
    "dtmf": ev("CALL_DTMF_START", more=CALL + ',"param":"1"'),
    "dtmf_code": ev("CALL_DTMF_START", more=',"param":"123"'),
    "register_ok": ev("REGISTER_OK", "", ',"class":"register","accountaor":"sip:201@192.168.1.10"'),
    "register_init": ev("REGISTER_OK", "", ',"class":"init register","accountaor":"sip:202@sip.example.com"'),
    "register_noaor": ev("REGISTER_OK", ""),
    "register_fail": ev("REGISTER_FAIL", "", ',"accountaor":"sip:201@192.168.1.10","param":"403 Forbidden"'),
    "exit": ev("EXIT", ""),
    "listing": '{"event":false,"data":"\\n--- User Agents (1) ---\\n0 - sip:201@192.168.1.10 OK\\n"}',
    "wrong_case": '{"TYPE":"EXIT","Direction":"incoming","event":true}',
    "number_type": '{"type":123,"direction":"incoming","param":1e300,"peeruri":5}',
    "big_number": '{"type":"CALL_DTMF_START","param":1e300}',
    "deep": DEEP,
    "deep_ok": DEEP_OK,
    "not_json": "parse me",
    "empty_obj": "{}",
    "array": '["CALL_INCOMING"]',
    "long_uri": ev("CALL_INCOMING", more=',"peeruri":"sip:' + "9" * 300 + '@h","accountaor":"' + "a" * 300 + '"'),
    "newline_reason": ev("CALL_CLOSED", more=',"param":"bye\\n2024-01-01 00:00:00,FORGED,ROW"'),
    "hostile_uri_reason": ev("CALL_CLOSED", more=',"id":"c1","peeruri":"sip:10\\u001b[2J\\u0085@h","param":"\\u001b]0;t\\u0007bye, now"'),
    "dtmf_with_id": ev("CALL_DTMF_START", more=',"class":"call","id":"c1","peeruri":"sip:1002@192.168.1.20","param":"3"'),
}
for name, payload in session.items():
    write("sip_dispatcher", name, b"\x00\x00" + payload.encode())
write("sip_dispatcher", "idle_incoming_debug", b"\x18\x00" + session["incoming"].encode())
write("sip_dispatcher", "payload_integer", b"\x00\x01" + session["exit"].encode())
write("sip_dispatcher", "tree", b"\x00\x03" + bytes([1, 3, 0, 0, 0, 0, 0, 0]) + session["exit"].encode())

# ---- volume reply: 8 slot bytes, shape byte, payload ------------------------
def slots(*specs):
    out = bytearray(8)
    for i, (state, prio) in enumerate(specs):
        out[i] = state | ((prio + 8) << 2)
    return bytes(out)


volume = {
    "zero": '{"audio_volume": 0}',
    "three": '{"audio_volume": 3}',
    "text": '{"audio_volume": "0"}',
    "huge": '{"audio_volume": 1e300}',
    "tiny": '{"audio_volume": 0.4}',
    "wrong_case": '{"AUDIO_VOLUME": 0}',
    "none": '{"other": 1}',
    "deep": DEEP,
    "not_json": "audio_volume=0",
}
for name, payload in volume.items():
    write("volume_reply", name, slots((1, 3), (2, 5), (1, 11), (2, 4), (1, 2)) + b"\x00" + payload.encode())
write("volume_reply", "idle_zero", slots() + b"\x00" + volume["zero"].encode())
write("volume_reply", "paused_resume", slots((2, 4), (2, 4), (2, 2)) + b"\x00" + volume["three"].encode())

# ---- holidays: day (3 x int32), debug byte, list text -----------------------
def day(y, m, d):
    return struct.pack("<iii", y, m, d)


holidays = {
    "range": ("2031-12-24:2031-12-26", day(2031, 12, 25)),
    "list": ('{"holidays": ["2031-1-1:2031-1-2", "2031-3-4:2031-3-5", "2031-9-9:2031-9-10"]}', day(2031, 3, 4)),
    "empty": ('{"holidays": []}', day(2031, 1, 1)),
    "zeros": ('{"holidays": ["2031-05-01:2031-05-03"]}', day(2031, 5, 2)),
    "reversed": ('{"holidays": ["2031-12-26:2031-12-24"]}', day(2031, 12, 26)),
    "not_text": ('{"holidays": [5, null, {"a": "2031-1-1:2031-1-2"}, "2031-1-1"]}', day(2031, 1, 1)),
    "wrong_case": ('{"HOLIDAYS": ["2031-1-1:2031-1-2"]}', day(2031, 1, 1)),
    "huge": ('{"holidays": ["99999999999-1-1:1e300-1-1"]}', day(-1, 0, 0)),
    "deep": (DEEP, day(2031, 1, 1)),
    "not_array": ('{"holidays": {"a": "2031-1-1:2031-1-2"}}', day(2031, 1, 1)),
}
for name, (text, d) in holidays.items():
    write("holidays", name, d + b"\x00" + text.encode())

# ---- url: mode byte, NUL-separated parts ------------------------------------
def parts(*p):
    return b"\x00".join(x.encode() if isinstance(x, str) else x for x in p)


url = {
    "two_ip": b"\x00" + parts("a=${ip}&b=${ip}.", "${ip}", "10.1.2.3"),
    "shorter": b"\x00" + parts("u=${ua}&n=${ua}", "${ua}", ""),
    "self": b"\x00" + parts("a${ua}b", "${ua}", "<${ua}>"),
    "quote": b"\x00" + parts("http://h/it's", "x", "y"),
    "dash": b"\x00" + parts("-o/tmp/x", "x", "y"),
    "long": b"\x00" + parts("u" * 255, "u", "uu"),
    "shell": b"\x00" + parts("http://h/a'b?c='d'&e=\"f\" $(touch x)`x`\\", "$", "'"),
    "unregistered": b"\x01" + parts("http://192.168.1.100/unreg?ip=${ip}&mac=${mac}&ua=${ua}&num=${number}",
                                    "        inet 192.168.1.50  netmask\n", "0242c0a80132\n", "account_info_1", "201", "1002"),
    "unregistered_quotes": b"\x01" + parts("http://h/?u=${ua}'&n=${number}", "", "", "account_info_2", "o'neil", "1'2"),
    "unregistered_long": b"\x01" + parts("http://h/" + "x" * 240 + "${number}", "10.0.0.10\n", "", "auto", "", "1234567890123456"),
}
for name, data in url.items():
    write("url", name, data)

# ---- settings: capacity byte, key byte, file --------------------------------
with open(os.path.join(HERE, "..", "sandbox", "conf", "speaker.conf"), "rb") as f:
    speaker = f.read()
with open(os.path.join(HERE, "..", "sandbox", "conf", "schedule.conf"), "rb") as f:
    schedule = f.read()
settings = {
    "speaker": b"\x20\x00" + speaker,
    "schedule": b"\x3f\x04" + schedule,
    "long_line": b"\x3f\x00" + b"[system]\nlanguage = " + b"e" * (1023 - len("language = ")) + b"\n",
    "line_1022": b"\x3f\x00" + b"[system]\nlanguage = " + b"e" * (1022 - len("language = ")) + b"\n",
    "section_key": b"\x10\x05" + b"[sip:port]\nx = 1\n[schedule_1:s_year]\n",
    "quotes": b"\x10\x01" + b"[relay_ctrl]\ntype = \"On ; # x\"\n'q' = 'v'\nempty =\n",
    "continuation": b"\x10\x01" + b"[relay_ctrl]\ntype = a \\\n  b\\\nc\n",
    "holidays": b"\x3f\x03" + b"[holidays]\ndata = {\"holidays\": [\"2031-1-1:2031-1-2\"]}\n",
    "garbage": b"\x05\x00" + bytes(range(256)),
    "no_equals": b"\x05\x00" + b"[system]\nlanguage\n",
    "crlf": b"\x08\x00" + b"[System]\r\nLanguage = EN\r\n",
    "numbers": b"\x08\x04" + b"[schedule_1]\ns_year = 0x7fffffff99\ne_year = -99999999999\n",
    "repeats": b"\x3f\x06" + b"[d]\nk = 1\n[e]\nk = 3\n[D]\nK = 2\n[a]\nb = 1\n[a:b]\n[]\nlast = x \\",
}
for name, data in settings.items():
    write("settings", name, data)

# ---- dtmf: switch byte, relay code, screen code, keys -----------------------
dtmf = {
    "relay_123": b"\x01" + parts("123", "456", "9", "1", "2", "3"),
    "both": b"\x03" + parts("12", "2", "1", "2"),
    "empty_code": b"\x01" + parts("", "", "5", "6"),
    "overflow": b"\x03" + parts("*#0", "99", *["1234567890"] * 5, "*#0"),
    "long_key": b"\x02" + parts("1", "A" * 40, "B" * 100),
    "long_code": b"\x01" + parts("9" * 40, "", "9" * 40),
    "off": b"\x00" + parts("1", "1", "1"),
}
for name, data in dtmf.items():
    write("dtmf", name, data)

# ---- cdr: course byte, start time (int64), account, number, reason ----------
def cdr(course, t, account, number, reason):
    return bytes([course]) + struct.pack("<q", t) + parts(account, number, reason)


cdrs = {
    "answered_in": cdr(0x06 | 0x70, 1709798703, "sip:201@192.168.1.10", "202", "Connection reset by user"),
    "missed": cdr(0x04, 1709798703, "sip:201@192.168.1.10", "202", "bye"),
    "no_answer_out": cdr(0x05, 1709798703, "sip:201@192.168.1.10", "1002", "486 Busy Here"),
    "no_start": cdr(0x00, 1709798703, "", "", "bye"),
    "long": cdr(0x04, 1709798703, "a" * 40, "7" * 40, "r" * 100),
    "newline": cdr(0x06, 1709798703, "sip:1@h\nforged", "2\r\n3", "bye\n2024,x"),
    "comma": cdr(0x04, 0, "a,b", "1,2", "reason, with, commas"),
    "partial": cdr(0x0e, 1709798703, "sip:201@h", "202", "bye"),
    "far_future": cdr(0x04, 2 ** 62, "x", "y", "z"),
}
for name, data in cdrs.items():
    write("cdr", name, data)
