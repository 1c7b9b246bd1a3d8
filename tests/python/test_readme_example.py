"""The Python example of docs/python.md, run as written against korvexd."""
import contextlib
import io
import re

from conftest import PASSWORD, SOURCE


PAGE = "docs/python.md"


def readme_example() -> str:
    text = (SOURCE / PAGE).read_text(encoding="utf-8")
    section = text.split("# Python: the `korvex` package", 1)[1]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert blocks, f"no Python example in {PAGE}"
    return blocks[0]


def test_the_readme_example_runs(service, tmp_path, monkeypatch):
    (service.root / "DCIM" / "2024").mkdir(parents=True)
    (service.root / "DCIM" / "a.jpg").write_bytes(b"jpeg" * 100)
    (service.root / "DCIM" / "2024" / "b.jpg").write_bytes(b"b")
    code = readme_example()
    assert '"192.168.1.20", "password"' in code
    code = code.replace('"192.168.1.20", "password"', f"{service.address!r}, {PASSWORD!r}")
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, PAGE, "exec"), {})
    printed = out.getvalue()
    assert "State(connected=True" in printed
    assert "/DCIM/a.jpg False 400" in printed
    assert (service.root / "notes.txt").read_text() == "hello\n"
    assert (tmp_path / "photos" / "a.jpg").read_bytes() == b"jpeg" * 100
    assert (tmp_path / "photos" / "2024" / "b.jpg").read_bytes() == b"b"
    assert "2 /no/such/file remove" in printed
