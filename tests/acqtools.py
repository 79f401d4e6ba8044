"""Builds small acquisitions on disk for the tests."""

import gzip
import os
import pickle
import struct


def metadata_text(model, channels, windows, samples, registers="{}", **settings):
    """A "metadata.yml" text with the given params and settings (values written as given)."""
    lines = ["params:", f"  model: {model}", f"  channels: {channels}",
             f"  windows: {windows}", f"  samples: {samples}"]
    lines += [f"  {key}: {value}" for key, value in settings.items()]
    lines.append(f"registers: {registers}")
    return "\n".join(lines) + "\n"


def write_chunk(root, n, events):
    """Writes chunk n holding `events` (a list of bytes) back to back."""
    index = bytearray()
    data = bytearray()
    for ev in events:
        index += struct.pack("<II", len(data), len(ev))
        data += ev
    with open(os.path.join(root, f"{n}.bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(root, f"{n}.idx"), "wb") as f:
        f.write(index)


def make_acquisition(root, chunks=(), metadata=None, **params):
    """Creates the directory `root` with "metadata.yml" and the given chunks (lists of events).

    `metadata` is the whole text; otherwise `params` go to metadata_text
    (model, channels, windows, samples and settings)."""
    root = str(root)
    os.makedirs(root, exist_ok=True)
    if metadata is None:
        params.setdefault("model", "ysk16")
        params.setdefault("channels", 1)
        params.setdefault("windows", 1)
        params.setdefault("samples", 1)
        metadata = metadata_text(**params)
    with open(os.path.join(root, "metadata.yml"), "w", encoding="utf-8") as f:
        f.write(metadata)
    for n, events in enumerate(chunks):
        write_chunk(root, n, events)
    return root


def write_blob(root, name, obj, protocol=pickle.HIGHEST_PROTOCOL):
    """Writes an optional blob: a gzip-compressed pickle of `obj`."""
    with open(os.path.join(str(root), name), "wb") as f:
        f.write(gzip.compress(pickle.dumps(obj, protocol=protocol)))
