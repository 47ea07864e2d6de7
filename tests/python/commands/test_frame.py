"""The command's frame: one-line usage errors, atomic outputs, build names and chromosome
matching against a reference folder."""

import os
import stat

import pytest

# Under `make sanitize` the module comes from the build folder, without the package.
cli = pytest.importorskip("mutflank_tools.cli")
from mutflank_tools.runtime.errors import InputError  # noqa: E402
from mutflank_tools.runtime.outputs import atomic_directory, atomic_output  # noqa: E402
from mutflank_tools.reference.genome import Genome  # noqa: E402
from mutflank_tools.reference.folder import canonical_build  # noqa: E402


@pytest.mark.parametrize(
    "argv, message",
    [
        (["frobnicate"], "mutflank: error: argument VERB: invalid choice: 'frobnicate' "
         "(choose from 'reference', 'table', 'matrix', 'opportunities', 'fit', 'extract', "
         "'plot')"),
        (["--version2"], "mutflank: error: the following arguments are required: VERB"),
        (["table", "x.vcf", "--sample"], "mutflank table: error: argument --sample: expected one "
         "argument"),
        (["matrix", "t.tsv", "--reference", "r", "-o", "p", "--workers", "0"],
         "mutflank matrix: error: argument --workers: not a positive whole number: '0'"),
        (["matrix", "t.tsv", "--reference", "r", "-o", "p", "--workers", "2",
          "--scheduler", "tcp://h:8786"],
         "mutflank matrix: error: argument --scheduler: not allowed with argument --workers"),
        (["matrix", "t.tsv", "--reference", "r", "-o", "p", "--types", "SBS6,SBS78"],
         "mutflank matrix: error: argument --types: unknown matrix type SBS78: choose from "
         "SBS6,SBS96,SBS1536,SBS192,SBS384,DBS78,ID83"),
        (["extract", "m.tsv", "-o", "p", "--rank", "1"],
         "mutflank extract: error: argument --rank: not a whole number >= 2: '1'"),
        (["extract", "m.tsv", "-o", "p", "--seed", "-1"],
         "mutflank extract: error: argument --seed: not a whole number >= 0: '-1'"),
        (["extract", "m.tsv", "-o", "p", "--replicates", "2.5"],
         "mutflank extract: error: argument --replicates: not a positive whole number: '2.5'"),
        (["reference", "in.fa", "out"],
         "mutflank reference: error: the following arguments are required: --build"),
        (["plot", "m.tsv", "-o", "x.png", "extra", "--typo"],
         "mutflank plot: error: unrecognized arguments: extra --typo"),
    ],
)
def test_usage_errors_are_one_line_with_status_2(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_:
        cli.main(argv)
    assert exit_.value.code == 2
    assert capsys.readouterr().err == message + "\n"


@pytest.mark.parametrize("verb", cli.VERBS)
def test_a_verb_parsed_alone_has_the_options_and_help_of_the_whole_command(verb):
    """A run of one verb builds that verb's parser alone: what it accepts and says must be
    what the command with every verb accepts and says."""
    alone, whole = cli.build_parser(verb), cli.build_parser()
    assert alone.verbs.keys() == {verb}
    assert alone.verbs[verb].format_help() == whole.verbs[verb].format_help()
    assert alone.format_usage() == whole.format_usage()


def test_types_keep_the_matrix_order():
    args = cli.build_parser().parse_args(
        ["matrix", "t", "--reference", "r", "-o", "p", "--types", "SBS1536, SBS6"]
    )
    assert args.types == ["SBS6", "SBS1536"]


def test_atomic_output_renames_on_success_and_leaves_nothing_on_failure(tmp_path):
    target = tmp_path / "out.tsv"
    with atomic_output(target) as handle:
        handle.write("kept\n")
        assert not target.exists()  # still under its temporary name
    assert target.read_text() == "kept\n"
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~_umask()
    with pytest.raises(RuntimeError):
        with atomic_output(target) as handle:
            handle.write("half")
            raise RuntimeError
    assert target.read_text() == "kept\n"
    assert sorted(os.listdir(tmp_path)) == ["out.tsv"]


def test_atomic_output_in_a_missing_folder_names_the_target(tmp_path):
    target = tmp_path / "missing" / "out.tsv"
    with pytest.raises(InputError, match=f"^{target}: cannot write: No such file or directory$"):
        with atomic_output(target):
            pass


def test_atomic_directory_takes_the_place_of_an_empty_folder_or_leaves_none(tmp_path):
    target = tmp_path / "reference"
    target.mkdir()
    with atomic_directory(target) as folder:
        (tmp_path / folder / "GRCh37").mkdir()
    assert os.listdir(target) == ["GRCh37"]
    other = tmp_path / "other"
    with pytest.raises(RuntimeError):
        with atomic_directory(other) as folder:
            open(os.path.join(folder, "1.txt"), "wb").close()
            raise RuntimeError
    assert sorted(os.listdir(tmp_path)) == ["reference"]


@pytest.mark.parametrize(
    "text, build",
    [("hg19", "GRCh37"), ("GRCh37", "GRCh37"), ("37", "GRCh37"), (" grch37 ", "GRCh37"),
     ("hg38", "GRCh38"), ("GRCh38", "GRCh38"), ("38", "GRCh38"),
     ("GRCh37.p13", "GRCh37.p13"), ("hg18", "hg18"), (" mm10 ", "mm10"), ("36", "36"),
     ("", None), ("..", None), ("a/b", None)],
)
def test_build_names(text, build):
    assert canonical_build(text) == build


@pytest.fixture
def folder(tmp_path):
    for build, names in {"GRCh38": ["1", "chr2", "MT", "chrX", "X"], "GRCh37": ["chrM"]}.items():
        (tmp_path / build).mkdir()
        for length, name in enumerate(names, start=3):
            (tmp_path / build / f"{name}.txt").write_bytes(b"\0" * length)
    (tmp_path / "GRCh38" / "notes.md").write_text("not a chromosome")
    return Genome(str(tmp_path))


@pytest.mark.parametrize(
    "build, written, found",
    [
        ("GRCh38", "1", "1"), ("GRCh38", "chr1", "1"), ("GRCh38", "2", "chr2"),
        ("GRCh38", "chrM", "MT"), ("GRCh38", "M", "MT"), ("GRCh38", "chrMT", "MT"),
        ("GRCh37", "MT", "chrM"),
        ("GRCh38", "X", "X"), ("GRCh38", "chrX", "chrX"),  # as written wins over a renaming
        ("GRCh38", "chrUn_gl000220", None), ("GRCh38", "notes", None), ("GRCh38", "chr", None),
        ("GRCh37", "1", None),
    ],
)
def test_chromosomes_match_as_written_then_renamed(folder, build, written, found):
    chromosome = folder.chromosome(build, written)
    assert (chromosome and chromosome.name) == found


def test_folder_lists_builds_and_lengths(folder, tmp_path):
    assert folder.builds() == ["GRCh37", "GRCh38"]
    assert folder.chromosomes("GRCh38") == {"1": 3, "chr2": 4, "MT": 5, "chrX": 6, "X": 7}
    with pytest.raises(InputError, match=f"^{tmp_path}/none: no such reference folder$"):
        Genome(str(tmp_path / "none"))


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_generated_sbs96_order_is_the_published_one():
    from mutflank_tools.counting import channels

    assert channels.SBS96 == channels.published_order("SBS96")
    assert [len(channels.published_order(name)) for name in ("SBS192", "DBS78", "ID83")] == [
        192, 78, 83]
