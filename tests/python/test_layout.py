"""The package's copies of the C option structs match the header field for
field, and the package has the library's version.

A program compiled against include/vclone.h prints each field's offset and
each struct's size; ctypes must agree, so a field added to the header (or
moved) without the same change in the package fails here rather than
silently shifting every later field."""
import ctypes
import os
import re
import shutil
import subprocess
import tomllib
from pathlib import Path

import pytest

import vclone
from vclone import _native

SOURCE_DIR = Path(os.environ.get("VCLONE_SOURCE_DIR", Path(__file__).resolve().parents[2]))
STRUCTS = {"vclone_load_options": _native.LoadOptions, "vclone_options": _native.Options}


def c_layout(tmp_path) -> dict:
    """{struct: {"sizeof": n, field: offset, ...}} as the C compiler lays them out."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler")
    lines = []
    for struct, ctype in STRUCTS.items():
        lines.append(f'printf("{struct} sizeof %zu\\n", sizeof({struct}));')
        for name, _ in ctype._fields_:
            lines.append(f'printf("{struct} {name} %zu\\n", offsetof({struct}, {name}));')
    program = tmp_path / "layout.c"
    program.write_text("#include <stddef.h>\n#include <stdio.h>\n#include \"vclone.h\"\n"
                       "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    binary = tmp_path / "layout"
    subprocess.run([compiler, "-std=c99", "-I", str(SOURCE_DIR / "include"), str(program),
                    "-o", str(binary)], check=True)
    layout: dict = {}
    for line in subprocess.run([str(binary)], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        struct, field, value = line.split()
        layout.setdefault(struct, {})[field] = int(value)
    return layout


def header_fields(struct: str) -> list:
    """The field names of a struct in the header, in order."""
    header = (SOURCE_DIR / "include" / "vclone.h").read_text()
    body = re.search(r"typedef struct \{([^{}]*)\} " + struct + ";", header).group(1)
    return re.findall(r"^\s*\w+\s+(\w+)(?:\[\d+\])?;", body, re.M)


@pytest.mark.parametrize("struct", STRUCTS)
def test_option_structs_match_the_header(tmp_path, struct):
    ctype = STRUCTS[struct]
    layout = c_layout(tmp_path)[struct]
    assert [name for name, _ in ctype._fields_] == header_fields(struct)
    for name, _ in ctype._fields_:
        assert getattr(ctype, name).offset == layout[name], name
    assert ctypes.sizeof(ctype) == layout["sizeof"]


def test_package_version_is_the_librarys():
    project = tomllib.loads((SOURCE_DIR / "python" / "pyproject.toml").read_text())["project"]
    assert vclone.__version__ == vclone.version()
    assert project["version"] == vclone.version()


def test_buffers_are_released_by_the_librarys_own_free():
    # The language list is a malloc'ed string released through vclone_free;
    # a wrong free would crash or corrupt the heap here, over many rounds.
    vocab = os.environ.get("VCLONE_TEST_MODEL")
    if not vocab:
        pytest.skip("needs the shared test model's vocabulary")
    for _ in range(200):
        assert "en" in vclone.languages(Path(vocab) / "vocab.json")
