"""The installed package: the `mutflank` command, its usage errors, the typing stub that mypy
finds, the examples, and the one-line message for a missing helper program."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from cli_support import COMMAND, run, write_text

# The installed command's package; `make sanitize` runs the suite without it.
pytest.importorskip("mutflank_tools")

ROOT = Path(__file__).resolve().parents[3]


@pytest.mark.parametrize("command", [[COMMAND], [sys.executable, "-m", "mutflank_tools"]])
def test_version(command):
    done = subprocess.run([*command, "--version"], capture_output=True, text=True, check=False)
    assert (done.returncode, done.stdout, done.stderr) == (0, "mutflank 1.0.2\n", "")


@pytest.mark.parametrize("verb, example", [
    ("reference", "mutflank reference hg38.fa.gz reference --build GRCh38"),
    ("table", "mutflank table tumour.vcf.gz -o tumour.tsv --project PCAWG --reference reference"),
])
def test_help_shows_an_example(verb, example):
    status, out, err = run(verb, "--help")
    assert (status, err) == (0, "")
    assert out.endswith(f"example:\n  {example}\n")


def test_usage_errors_are_one_line_with_status_2():
    # The other cases are in test_frame.py, run in-process.
    assert run("reference", "a.fa", "ref") == (
        2, "", "mutflank reference: error: the following arguments are required: --build\n")


def test_vcf_and_bcf_need_no_bcftools_program(tmp_path):
    # htslib, linked into the engine, reads BCF in process
    vcf = write_text(tmp_path / "a.vcf", "##fileformat=VCFv4.2\n##contig=<ID=1>\n#CHROM\tPOS\t"
                                         "ID\tREF\tALT\tQUAL\tFILTER\tINFO\n1\t5\t.\tC\tT\t.\t.\t.\n")
    bcf = tmp_path / "a.bcf"
    subprocess.run(["bcftools", "view", "-Ob", "-o", str(bcf), str(vcf)], check=True)
    for path in (vcf, bcf):
        status, out, err = run("table", path, "--build", "37", env={"PATH": str(tmp_path)})
        assert (status, out) == (0, "a\ta\t.\tGRCh37\tSNV\t1\t5\t5\tC\tT\n"), err


MYPY_PROGRAM = """\
import mutflank

rows = mutflank.parse_vcf_files(["tumour.tsv"], "reference", 3)
version: str = mutflank.__version__
wrong: int = mutflank.parse_vcf_files("tumour.tsv", "reference", 3.0)
"""


def test_mypy_finds_the_installed_stub(tmp_path):
    program = write_text(tmp_path / "use.py", MYPY_PROGRAM)
    done = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--python-executable", sys.executable,
         "--cache-dir", str(tmp_path / "cache"), "--no-error-summary", "--hide-error-context",
         str(program)],
        capture_output=True, text=True, cwd=tmp_path, check=False)
    assert done.returncode == 1, done.stdout + done.stderr
    assert done.stdout.splitlines() == [
        'use.py:5: error: Incompatible types in assignment (expression has type '
        '"ndarray[Any, dtype[object_]]", variable has type "int")  [assignment]',
        'use.py:5: error: Argument 1 to "parse_vcf_files" has incompatible type "str"; '
        'expected "List[str]"  [arg-type]',
        'use.py:5: error: Argument 3 to "parse_vcf_files" has incompatible type "float"; '
        'expected "SupportsIndex"  [arg-type]',
    ]


def test_quickstart_example_runs():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "quickstart.py")],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("mutflank 1.0.2: 11 rows, context 5\n")


def test_phage_example_runs_the_package():
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "phage_table.py")],
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:2] == ["the table's first row:",
                         "  mutator\tdemo\t.\tGRCh38\tSNV\tgi|9626243|ref|NC_001416.1|\t17\t17\tG\tA"]
    assert lines[3].startswith("  mutator::demo ")
    assert lines[-3] == "substitution classes by sample:"


def test_the_road_of_make_demo(tmp_path):
    # `make demo` runs examples/road.sh with the installed command first on PATH.
    done = subprocess.run(["sh", str(ROOT / "examples" / "road.sh"), str(tmp_path / "demo")],
                          capture_output=True, text=True, check=False,
                          env={**os.environ, "PATH": f"{Path(COMMAND).parent}:{os.environ['PATH']}"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == f"the picture is {tmp_path}/demo/phage.SBS96.png"
    assert sorted(path.name for path in (tmp_path / "demo").glob("phage.*")) == [
        "phage.DBS78.tsv", "phage.ID83.tsv", "phage.SBS1536.tsv", "phage.SBS6.tsv",
        "phage.SBS96.png", "phage.SBS96.tsv", "phage.exposures.tsv", "phage.fit.tsv",
        "phage.tsv", "phage.vcf"]
