#!/usr/bin/env python3
"""Writes Dizezazu.wav, the program's chime at the end of a download: four quick rising notes
with a soft bell tone. Deterministic: the same bytes on every run.

    python3 res/sound/make_chime.py [output.wav]
"""
import math
import struct
import sys
import wave

RATE = 22050
# (frequency in Hz, start in seconds, length in seconds, loudness)
NOTES = [
    (659.25, 0.00, 0.32, 0.55),  # E5
    (783.99, 0.11, 0.32, 0.55),  # G5
    (987.77, 0.22, 0.34, 0.55),  # B5
    (1318.51, 0.33, 0.55, 0.60),  # E6
]
LENGTH = 0.95


def bell(t, freq):
    # A fundamental with two soft partials, as a small bell or a glass.
    return (math.sin(2 * math.pi * freq * t)
            + 0.35 * math.sin(2 * math.pi * 2.0 * freq * t)
            + 0.12 * math.sin(2 * math.pi * 3.01 * freq * t)) / 1.47


def envelope(t, length):
    attack = 0.006
    if t < attack:
        return t / attack
    return math.exp(-(t - attack) * 6.5 / length)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "Dizezazu.wav"
    count = int(RATE * LENGTH)
    samples = []
    for i in range(count):
        t = i / RATE
        value = 0.0
        for freq, start, length, loud in NOTES:
            local = t - start
            if 0.0 <= local < length:
                value += loud * envelope(local, length) * bell(local, freq)
        # Fade the very end so the last sample is silence.
        tail = min(1.0, (LENGTH - t) / 0.05)
        value *= tail
        samples.append(max(-32767, min(32767, int(round(value * 32767)))))
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack("<%dh" % len(samples), *samples))


if __name__ == "__main__":
    main()
