#!/usr/bin/env python3
"""Writes the seed corpus of receive_fuzzer into fuzz/corpus/receive/.

Each seed is a program in the fuzzer's input format (see receive_fuzzer.cpp): valid answers to
every poll step, a full cycle, a Modbus exception answer, echoes of the set-up commands'
replies, and answers split, doubled or run together in one buffer.
"""
import pathlib
import struct

SENT_STEP, POLL_STEP, CYCLE_ACTIVE, PENDING, BUFFER, LONG_BUFFER, ANSWER, SEND_NEXT, START, \
    EVENTS, PAGE, ADVANCE, ADVANCE_LONG = range(13)


def crc16(data: bytes) -> bytes:
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def with_crc(body: bytes) -> bytes:
    return body + crc16(body)


def device_of(step: int) -> int:
    return 0xA0 if step <= 8 else 0xA1


def poll_answer(step: int, status=0x11, volts_tenths=None, temp_tenths=None) -> bytes:
    volts = volts_tenths if volts_tenths is not None else 120 + step
    temp = temp_tenths if temp_tenths is not None else 250 + 10 * step
    return with_crc(bytes([device_of(step), 0x04, 0x06, status, volts]) +
                    struct.pack(">H", temp) + b"\x00\x00")


def op_sent_step(step): return bytes([SENT_STEP]) + struct.pack(">H", step)
def op_poll_step(step): return bytes([POLL_STEP]) + struct.pack(">H", step)
def op_active(on=True): return bytes([CYCLE_ACTIVE, 1 if on else 0])
def op_pending(bits): return bytes([PENDING, bits])
def op_page(index): return bytes([PAGE, index])


def op_buffer(data: bytes) -> bytes:
    assert 1 <= len(data) <= 256
    return bytes([BUFFER, len(data) - 1]) + data


def op_long_buffer(data: bytes) -> bytes:
    assert 1 <= len(data) <= 1024
    return bytes([LONG_BUFFER]) + struct.pack(">H", len(data) - 1) + data


def op_answer(head9: bytes, trailing=b"") -> bytes:
    assert len(head9) == 9 and len(trailing) < 32
    return bytes([ANSWER, len(trailing)]) + head9 + trailing


def op_advance_long(ms):
    assert 0 <= ms < 4096
    return bytes([ADVANCE_LONG]) + struct.pack(">H", ms)


def paced_cycle(delays, in_order=True, extra=()):
    """One cycle paced by the session's own timers (request n at n x 150 ms), each answer
    delays.get(step, 20) ms after its request (None: lost). On a line in order an answer waits
    behind a late one. `extra` adds (ms, bytes) deliveries. Ends past the last block's hold."""
    events = []
    line_free = 0
    for step in range(1, 17):
        delay = delays.get(step, 20)
        if delay is None:
            continue
        at = 150 * step + delay
        if in_order:
            at = line_free = max(at, line_free)
        events.append((at, poll_answer(step)))
    events.extend(extra)
    events.sort(key=lambda e: e[0])
    prog, now = bytes([START]), 0
    for at, data in events:
        prog += op_advance_long(at - now) + op_buffer(data)
        now = at
    return prog + op_advance_long(3000 - now)


def seeds():
    # The answer to each step, delivered while that step is the one sent last.
    for step in range(1, 17):
        yield f"step-{step:02d}", op_sent_step(step) + op_active() + op_buffer(poll_answer(step))

    # One full cycle the way the window runs it: start, then send and answer sixteen times.
    cycle = bytes([START])
    for step in range(1, 17):
        cycle += bytes([SEND_NEXT]) + op_buffer(poll_answer(step))
    yield "full-cycle", cycle + bytes([EVENTS]) + op_page(1) + bytes([EVENTS])

    # Each status code and the extreme values, through the answer op (checksum made by the
    # fuzzer), on the live batteries.
    statuses = [0x00, 0x11, 0x71, 0x72, 0x73, 0xFF]
    prog = bytes([START]) + op_poll_step(9)
    for k, status in enumerate(statuses):
        body = bytes([0xA1, 0x04, 0x06, status, 0xFF if k % 2 else 0x00]) + \
            (b"\xFF\xFF" if k % 2 else b"\x00\x00") + b"\x00\x00"
        prog += bytes([SEND_NEXT]) + op_answer(body)
    yield "status-codes", prog + bytes([EVENTS])

    # A Modbus exception answer (illegal data address) to a poll request.
    yield "exception", op_sent_step(1) + op_active() + op_buffer(with_crc(b"\xA0\x84\x02"))

    # Set-up command replies echoed in hex: the original frames coming back, singly and with
    # more than one command pending.
    set_info = with_crc(bytes([0xA1, 0x06, 0x03, 0x00, 0x01, 0x01]))
    query = with_crc(bytes([0xA1, 0x04, 0x30, 0x00, 0x00, 0x01]))
    authorise = with_crc(bytes([0xA1, 0x06, 0x03, 0x55, 0x00, 0x01]))
    yield "echo-set", op_pending(1) + op_buffer(set_info)
    yield "echo-query", op_pending(2) + op_buffer(query)
    yield "echo-authorise", op_pending(4) + op_buffer(authorise)
    yield "echo-all-pending", op_pending(7) + op_buffer(set_info)
    # A reply arriving while a poll answer is awaited: echoed and also decoded.
    yield "echo-during-cycle", op_sent_step(9) + op_active() + op_pending(2) + \
        op_buffer(poll_answer(9))

    # Answers run together, doubled, split, and padded to the largest buffer.
    yield "two-answers-one-buffer", op_sent_step(10) + op_active() + \
        op_buffer(poll_answer(10) + poll_answer(11))
    a = poll_answer(12)
    yield "split-answer", op_sent_step(12) + op_active() + op_buffer(a[:5]) + op_buffer(a[5:])
    yield "doubled-answer", op_sent_step(13) + op_active() + op_buffer(a) + op_buffer(a)
    yield "max-buffer", op_sent_step(14) + op_active() + \
        op_long_buffer(poll_answer(14) + bytes(1024 - 11))

    # Paced cycles with late and lost answers: the slot patterns the certainty rule tells apart.
    yield "paced-late-beside-successor", paced_cycle({3: 200, 12: 200})
    yield "paced-late-overtaken", paced_cycle({3: 200, 12: 200}, in_order=False)
    yield "paced-late-two-slots", paced_cycle({5: 310})
    yield "paced-lost-answers", paced_cycle({3: None, 12: None})
    yield "paced-shift-to-end", paced_cycle({s: 200 for s in range(3, 9)})
    yield "paced-late-into-hold", paced_cycle({8: 200, 16: 200})
    yield "paced-late-successor-lost", paced_cycle({3: 200, 4: None})
    yield "paced-other-device-stray", paced_cycle({}, extra=[(800, poll_answer(9))])

    # The last answer ends decoding; a later answer is not decoded.
    yield "after-cycle-end", op_sent_step(16) + op_active() + op_buffer(poll_answer(16)) + \
        op_sent_step(9) + op_buffer(poll_answer(9))


def main():
    out = pathlib.Path(__file__).resolve().parent / "corpus" / "receive"
    out.mkdir(parents=True, exist_ok=True)
    for name, data in seeds():
        (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
