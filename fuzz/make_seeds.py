#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: the protocol's real messages,
data files written the Windows way (code page 932, CR LF) and small WAVs.
The shipped sounds in resources/sounds are added by scripts/fuzz.sh."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SEP = b"\xff\xff\xff\xff"


def wire(text):
    return text.encode("utf-16-le")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def reads(flags, *pieces):
    return bytes([flags]) + SEP.join(p if isinstance(p, bytes) else wire(p) for p in pieces)


# Peer text: flag byte (1 search dial, 2 direct dial, 4 tray, 8 search open,
# 16 send voice), then the reads.
voice = bytes((i * 37) & 0xFF for i in range(3000))
write("fuzz_peer_text", "direct_called", reads(0, "VOICEMSG:OK|Taro|END"))
write("fuzz_peer_text", "direct_called_unknown", reads(4, "VOICEMSG:OK|花子|END"))
write("fuzz_peer_text", "search_called", reads(8, "ANYBODYMSG:OK|Taro|END", "AnybadyConnect|Taro|M|30|hi|END"))
write("fuzz_peer_text", "direct_caller_answered",
      reads(2 | 16, "VOICEMSG:OK", "CallAnswer|END", voice, voice, voice[:2000]))
write("fuzz_peer_text", "search_caller_answered",
      reads(1 | 16, "VOICEMSG:OK", "CallAnswer|END", voice, voice))
write("fuzz_peer_text", "greeting_and_answer_together", reads(2, "VOICEMSG:OKCallAnswer|END"))
write("fuzz_peer_text", "request_without_bar", reads(0, "VOICEMSG:OK"))
write("fuzz_peer_text", "profile_alone", reads(0, "AnybadyConnect|Taro|M|30|hi|END"))
write("fuzz_peer_text", "answer_alone", reads(0, "CallAnswer|END"))
write("fuzz_peer_text", "odd_byte", reads(0, wire("VOICEMSG:OK|Taro|END") + b"\x00"))
# Actions between reads: 0xFE, then 0 answer, 1 next caller, 2 exit, 3 search hang-up, 4 microphone.
ANSWER, NEXT_CALLER, EXIT, SEARCH_HANG_UP, MICROPHONE = (b"\xfe" + bytes([a]) for a in range(5))
write("fuzz_peer_text", "requests_while_ringing_then_exit",
      reads(0, *(["VOICEMSG:OK|Taro|END", "ANYBODYMSG:OK|Taro|END"] * 40), EXIT))
write("fuzz_peer_text", "answered_then_next_caller",
      reads(16, "VOICEMSG:OK|Taro|END", ANSWER, MICROPHONE, voice, NEXT_CALLER, "VOICEMSG:OK|花子|END", EXIT))
write("fuzz_peer_text", "caller_answers_itself", reads(0, "VOICEMSG:OK|Taro|END", "CallAnswer|END", MICROPHONE))
write("fuzz_peer_text", "search_call_hung_up", reads(1 | 16, "VOICEMSG:OK", "CallAnswer|END", voice, SEARCH_HANG_UP))

# HD calls through the whole phone: an offer, the answer with its field,
# frames of Opus (the first bytes of a real packet) and a frame too long.
HD = "vx1;codec=opus16"
opus = bytes([0x0b]) + bytes((i * 29) & 0xFF for i in range(79))
frame = lambda t, payload: struct.pack(">HB", 1 + len(payload), t) + payload
write("fuzz_peer_text", "hd_called", reads(0, "VOICEMSG:OK|Taro|" + HD + "|END", ANSWER, MICROPHONE,
                                          frame(1, opus) * 3, frame(1, opus)[:40], frame(1, opus)[40:]))
write("fuzz_peer_text", "hd_caller_answered",
      reads(2 | 16, "VOICEMSG:OK", "CallAnswer|" + HD + "|END", frame(1, opus) * 5, frame(5, b"x")))
write("fuzz_peer_text", "encrypted_called", reads(0, "VOICEMSG:OK|Taro|" + HD + ";c=" + "0a" * 32 + "|END", ANSWER,
                                                  frame(0x10, bytes(96)), frame(2, opus + bytes(16))))
write("fuzz_peer_text", "hd_answer_cut", reads(2, "VOICEMSG:OK", "CallAnswer|vx1;co", "dec=opus16|END"))
write("fuzz_peer_text", "hd_frame_too_long", reads(1 | 16, "VOICEMSG:OK", "CallAnswer|" + HD + "|END",
                                                   b"\x05\x00\x01" + bytes(1279)))

# Offers and answers: any text, as UTF-16LE.
for name, text in [("offer", HD), ("offer_more", "vx1;codec=opus16,pcm8;c=" + "0a" * 32),
                   ("request", "VOICEMSG:OK|Ta|ro|" + HD + "|END"), ("answer", "CallAnswer|" + HD + "|END"),
                   ("answer_plain", "CallAnswer|END"), ("answer_cut", "CallAnswer|vx1;co"),
                   ("version_2", "vx2;codec=opus16"), ("garbage", "vx1;;=;codec")]:
    write("fuzz_voice_offer", name, wire(text))

# Frames: a mode byte (1 encrypted), then the reads of an HD call's voice
# after the answer; encrypted, each piece an operation byte (0 sealed by the
# honest peer, 0x80 as it is, 0x40 twice, 0x20 a bit flipped) and its bytes.
write("fuzz_voice_frames", "packets", bytes([0]) + SEP.join([frame(1, opus) * 4, frame(1, opus)[:1], frame(1, opus)[1:]]))
write("fuzz_voice_frames", "reserved_types",
      bytes([0]) + frame(2, opus + bytes(16)) + frame(0x10, bytes(96)) + frame(0x1f, b""))
write("fuzz_voice_frames", "too_long", bytes([0]) + frame(1, bytes(1300)))
write("fuzz_voice_frames", "empty", bytes([0]) + b"\x00\x00" + frame(1, opus))
write("fuzz_voice_frames", "sealed", bytes([1]) + SEP.join([b"\x00" + opus, b"\x00" + opus[:20], b"\x00" + opus]))
write("fuzz_voice_frames", "sealed_twice", bytes([1]) + SEP.join([b"\x00" + opus, b"\x40" + opus, b"\x00" + opus]))
write("fuzz_voice_frames", "sealed_flipped", bytes([1]) + SEP.join([b"\x00" + opus, b"\x27" + opus, b"\x00" + opus]))
write("fuzz_voice_frames", "sealed_then_plain", bytes([1]) + SEP.join([b"\x00" + opus, b"\x80" + frame(1, opus)]))
write("fuzz_voice_frames", "attacker_first",
      bytes([1 | 2]) + SEP.join([b"\x80" + frame(0x10, bytes(96)), b"\x80" + frame(2, opus + bytes(16))]))

# Protocol messages: any text, as UTF-16LE.
for name, text in [("request", "VOICEMSG:OK|Taro|END"), ("profile", "AnybadyConnect|Taro|M|30|hi|END"),
                   ("list", "ClientData|1|Taro|M|30|hi|127.0.0.2|1|127.0.0.9|END"), ("name", "太郎")]:
    write("fuzz_protocol_messages", name, wire(text))

# Server replies: flag byte (1 search window active, 2 address request).
users = "".join(f"{k}|User{k}|M|{20 + k}|hi|127.0.0.{k + 1}|" for k in range(1, 4))
write("fuzz_server_reply", "hello_then_list", reads(1, "SERVEROK|END",
      "ClientData|1|Taro|M|30|hi|127.0.0.2|1|127.0.0.9|END"))
write("fuzz_server_reply", "list_three", reads(0, "SERVEROK|END", f"ClientData|{users}3|127.0.0.9|END"))
write("fuzz_server_reply", "list_empty", reads(1, "SERVEROK|END", "ClientData|ZERO|1.2.3.4|END"))
write("fuzz_server_reply", "address", reads(2, "SERVEROK|END", "YOURGLOVALIP|1.2.3.4|END"))
write("fuzz_server_reply", "refused", reads(0, "SERVEROK|END", "DISCONNECT|END"))
write("fuzz_server_reply", "list_in_two_reads", reads(0, "ClientData|1|Taro|M|3", "0|hi|127.0.0.2|1|127.0.0.9|END"))
many = "".join(f"{k}|U{k}|F|1|c|10.0.{k // 250}.{k % 250}|" for k in range(1, 102))
write("fuzz_server_reply", "list_101", reads(0, f"ClientData|{many}101|127.0.0.9|END"))

# Data files: Tel.txt, separator, name.txt, as Windows writes them.
def cp932(text):
    return text.replace("\n", "\r\n").encode("cp932")


book = cp932("1 Taro 127.0.0.2 Taro.wav 10:00:00\n2 花子 192.168.0.12 Ring.wav 21:07:45\n"
             "3 表　示 host.example Ring.wav 9:05:00\n")
profile = cp932("太郎,男,30,pass,よろしく－～,server.example\n127.0.0.9\n")
write("fuzz_data_files", "windows_pair", book + SEP + profile)
write("fuzz_data_files", "phone_book_only", book)
write("fuzz_data_files", "profile_only", profile)
write("fuzz_data_files", "extra_tokens_and_comma", cp932("7 Taro 10.0.0.1 a.wav 1:00:00 x y\n8 Jiro,9 Hana 10.0.0.2\n")
      + SEP + cp932("Taro,M,30,pw,a,b\n\n"))
write("fuzz_data_files", "empty_line", b"\r\n" + SEP + cp932("Taro\n"))
write("fuzz_data_files", "bad_cp932", b"1 \x81 \xff\xfe 127.0.0.1 R.wav 1\r\n" + SEP + b"\x82\xa0,\x1a,\x7f,\x1c\r\n")
# U+00A5 is written as 0x5C, which reads back as a backslash.
write("fuzz_data_files", "yen_sign_one_way", "\u00a5 \x01\x07`.".encode("utf-8"))


# WAV files of every supported shape, small.
def wav(channels, rate, bits, frames, extra_chunk=False):
    align = channels * bits // 8
    data = bytes((i * 13) & 0xFF for i in range(frames * align))
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * align, align, bits)
    chunks = b"fmt " + struct.pack("<I", len(fmt)) + fmt
    if extra_chunk:
        chunks += b"LIST" + struct.pack("<I", 5) + b"INFOx" + b"\x00"
    chunks += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


write("fuzz_wav", "mono16", wav(1, 8000, 16, 200))
write("fuzz_wav", "stereo8", wav(2, 11025, 8, 100, extra_chunk=True))
write("fuzz_wav", "mono8_odd_list", wav(1, 22050, 8, 33, extra_chunk=True))

# Directory sessions: per connection a shape byte (address, from a trusted
# proxy or not, read size), then the bytes.
conn = lambda shape, *msgs: bytes([shape]) + b"".join(wire(m) for m in msgs)
write("fuzz_directory_session", "register_and_list", SEP.join([
    conn(1, "SERVEROK|END", "MYDATA|Taro|M|30|hi|pw||END"),
    conn(2 + 8 * 3, "SERVEROK|END", "ADDITIONDATA|花子|F|20|こんにちは|pw2||END"),
    conn(3, "SERVEROK|END", "MYDATA|Jiro|M|40|yo|||END")]))
write("fuzz_directory_session", "address", conn(9, "SERVEROK|END", "GETGLOVALIP|END"))
write("fuzz_directory_session", "connect-back", conn(12, "SERVEROK|END", "CONNECTBACK|END"))
write("fuzz_directory_session", "connect-back-token",
      conn(12, "SERVEROK|END", "CONNECTBACK|0123456789abcdef0123456789abcdef|END"))
write("fuzz_directory_session", "refusals", SEP.join([
    conn(0, "HELLO"), conn(1, "SERVEROK|END", "MYDATA|Ta|ro|M|30|hi|pw||END"),
    conn(1, "SERVEROK|END", "MYDATA|ClientData|M|30|hi|pw||END"),
    conn(1, "SERVEROK|END", "MYDATA|Taro|M|30|hi|other||END")]))
V2_TCP4 = (b"\r\n\r\n\x00\r\nQUIT\n\x21\x11\x00\x0c" + bytes([203, 0, 113, 9, 127, 0, 0, 1])
           + struct.pack(">HH", 40000, 8003))
write("fuzz_directory_session", "proxied", SEP.join([
    bytes([8]) + b"PROXY TCP4 198.51.100.7 127.0.0.1 40000 8003\r\n"
    + wire("SERVEROK|END") + wire("MYDATA|Via1|M|30|hi|||END"),
    bytes([8 + 16]) + V2_TCP4 + wire("SERVEROK|END") + wire("MYDATA|Via2|M|30|hi|||END"),
    bytes([1]) + b"PROXY TCP4 198.51.100.8 127.0.0.1 1 2\r\n" + wire("SERVEROK|END")]))

# Encrypted call: a mode byte (0 attack the called side, 1 the dialling side,
# 2 an honest call changed in flight), then the pieces.
import hashlib
key = bytes([9]) + bytes(31)  # the base point: a valid key
commit = hashlib.blake2b(key, digest_size=32).hexdigest().encode()
write("fuzz_secure_session", "called_side", SEP.join([bytes([0]) + commit, key + bytes(range(64)),
                                                      b"\x00\x13\x02" + bytes(16)]))
write("fuzz_secure_session", "called_low_order",
      bytes([0]) + hashlib.blake2b(bytes(32), digest_size=32).hexdigest().encode() + SEP + bytes(96))
write("fuzz_secure_session", "dialling_side", SEP.join([bytes([1]) + key.hex().encode(), bytes(64), bytes(19)]))
write("fuzz_secure_session", "dialling_out_of_turn", SEP.join([bytes([1 | 4]) + b"zz", bytes(64)]))
write("fuzz_secure_session", "honest", SEP.join([bytes([2]), b"", b"", b"\x00voice", b"\x00more", b"\x00"]))
write("fuzz_secure_session", "honest_frames_changed",
      SEP.join([bytes([2]), b"", b"", b"\x00first", b"\x45second", b"\x20again", b"\x80cut"]))
write("fuzz_secure_session", "honest_message2_changed", SEP.join([bytes([2 | 8]), b"\x00\x01", b"\x00\x00\x04"]))

# The call history as the phone writes it: a header, then tab-separated calls.
head = b"voxlet call history 1\n"
write("fuzz_call_history", "calls", head + b"2024-05-01T10:22:33Z\tin\tanswered\t65\tplain\t1\tBob\t198.18.0.2\n"
      + "2024-05-01T10:30:00Z\tout\tunanswered\t0\tconfirmed\t1\t太郎%09%25\tfd00::2\n".encode()
      + b"2024-05-01T10:31:00Z\tin\tbusy\t0\tplain\t3\t\t192.0.2.1\n")
write("fuzz_call_history", "damaged", head + b"2024-05-01T10:22:33Z\tsideways\tanswered\t-1\tplain\t0\t%zz\n")
