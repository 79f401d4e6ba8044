"""Creates a small ysk16 acquisition in a temporary directory and reads it back."""

import os
import struct
import tempfile

import vuzevuz

CHANNELS, WINDOWS, SAMPLES = 2, 4, 8


def ysk16_event(first_window):
    """One raw ysk16 event: a chip header byte, one block per channel, a two-byte footer."""
    words = []
    for ch in range(CHANNELS):
        words.append(ch << 8 | first_window)  # channel in the high byte, first window label in the low byte
        words += [~(100 * ch + i) & 0xFFFF for i in range(WINDOWS * SAMPLES)]  # samples are stored inverted
        words.append(0)  # block footer
    return b"\x00" + struct.pack(f"<{len(words)}H", *words) + b"\x00\x00"


with tempfile.TemporaryDirectory() as tmp:
    root = os.path.join(tmp, "run1")
    os.mkdir(root)
    with open(os.path.join(root, "metadata.yml"), "w") as f:
        f.write(f"params:\n  model: ysk16\n  channels: {CHANNELS}\n  windows: {WINDOWS}\n"
                f"  samples: {SAMPLES}\nregisters: {{}}\n")
    events = [ysk16_event(w) for w in range(3)]
    index = b"".join(struct.pack("<II", sum(map(len, events[:i])), len(e)) for i, e in enumerate(events))
    with open(os.path.join(root, "0.bin"), "wb") as f:
        f.write(b"".join(events))
    with open(os.path.join(root, "0.idx"), "wb") as f:
        f.write(index)

    print("acquisitions:", [a.name for a in vuzevuz.list_acquisitions(tmp)])
    acq = vuzevuz.Acquisition(root)
    print("model:", acq.params["model"], "events:", len(acq), "chunks:", acq.chunk_count)
    for i, ev in enumerate(acq):
        print(f"event {i}: labels of channel 0 {ev['window_labels'][0]}, "
              f"first samples of channel 1 {ev['data'][1][:4]}, time {ev['time'][0][:10]}...")
    out = os.path.join(tmp, "csv")
    os.mkdir(out)
    vuzevuz.export_csv(acq, range(len(acq)), out, False)
    print("exported:", sorted(os.listdir(out)))
