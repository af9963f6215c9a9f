"""Reading and writing vclone weight archives.

An archive is a PyTorch zip file with a "manifest.json" record that maps each
tensor name to {storage_key, offset, shape, stride, numel}, and "data/<key>"
records holding little-endian float32 values in row-major order.
"""
import json

import torch


def _contiguous_stride(shape):
    stride, step = [], 1
    for size in reversed(shape):
        stride.append(step)
        step *= size
    return list(reversed(stride))


def write_archive(path, tensors, shared_record=False):
    """Writes {name: tensor} as an archive.

    Each tensor gets a record of its own, or, with shared_record, all of them
    lie one after another in the single record "data/0".
    """
    writer = torch._C.PyTorchFileWriter(str(path))
    manifest, chunks, offset = {}, [], 0
    for index, (name, tensor) in enumerate(tensors.items()):
        values = tensor.detach().to(torch.float32).contiguous().cpu()
        shape = list(values.shape)
        entry = {
            "storage_key": "0" if shared_record else str(index),
            "offset": offset if shared_record else 0,
            "shape": shape,
            "stride": _contiguous_stride(shape),
            "numel": values.numel(),
        }
        manifest[name] = entry
        data = values.numpy().tobytes()
        if shared_record:
            chunks.append(data)
            offset += values.numel()
        else:
            writer.write_record("data/" + entry["storage_key"], data, len(data))
    if shared_record:
        data = b"".join(chunks)
        writer.write_record("data/0", data, len(data))
    text = json.dumps(manifest).encode()
    writer.write_record("manifest.json", text, len(text))
    writer.write_end_of_file()
    return len(manifest)


def read_manifest(path):
    """The manifest of an archive as a dict (for tools and checks)."""
    reader = torch._C.PyTorchFileReader(str(path))
    for name in reader.get_all_records():
        if "manifest.json" in name:
            return json.loads(reader.get_record(name))
    raise ValueError("no manifest.json in %s" % path)
