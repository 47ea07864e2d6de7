"""The one LeftOut: what a reader, the counting and the table leave out adds up the same
whichever way its parts are merged, pickled (as a Dask worker sends it) or not."""

import pickle

import pytest

left_out = pytest.importorskip("mutflank_tools.inputs.left_out")
LeftOut, KEPT = left_out.LeftOut, left_out.KEPT


def parts():
    """Three inputs' records left out, as batches of a reader (no input told) would give."""
    first, second, third = LeftOut(), LeftOut(), LeftOut()
    first.add("no reference file", "chrUn", 2)
    first.add("filter not PASS", "1")
    second.add_each("no reference file", ["chrUn", "HLA-A", "chrUn"])
    third.add("filter not PASS", "2", 4)
    return first, second, third


@pytest.mark.parametrize("pickled", [False, True])
def test_parts_merged_in_any_order_give_one_summary(pickled):
    def run(order):
        total = LeftOut()
        for index in order:
            part = parts()[index]
            if pickled:
                part = pickle.loads(pickle.dumps(LeftOut().merge(part, input=index)))
                total.merge(part)
            else:
                total.merge(part, input=index)
        return total

    whole = run([0, 1, 2])
    again = run([2, 0, 1])
    assert (dict(whole), whole.inputs) == (dict(again), again.inputs)
    assert whole.lines({0: "a.vcf", 1: "b.vcf", 2: "c.vcf"}) == [
        "left out 5 records: filter not PASS, on 2 (4), 1 (1), in c.vcf (4), a.vcf (1)",
        "left out 5 records: no reference file, on chrUn (4), HLA-A (1), in b.vcf (3), a.vcf (2)"]
    assert whole.lines({0: "a.vcf"})[0] == "left out 5 records: filter not PASS, on 2 (4), 1 (1)"
    assert (whole.total(), whole.total({"filter not PASS"}), whole.total(input=1)) == (10, 5, 3)


def test_chromosomes_beyond_the_cap_are_summed_and_the_inputs_stay_exact():
    kept = LeftOut()
    for number in range(3 * KEPT):
        kept.add("no reference file", f"u{number:03}", 1 + (number == 5), input=number % 2)
    assert len(kept) <= 2 * KEPT + 1
    assert kept.total() == 3 * KEPT + 1
    assert kept.inputs == {("no reference file", 0): 3 * KEPT // 2,
                           ("no reference file", 1): 3 * KEPT // 2 + 1}  # u005 twice
    assert kept.lines()[0].startswith(f"left out {3 * KEPT + 1} records: no reference file, on "
                                      "u005 (2), u000 (1), u001 (1),")
    assert kept.lines()[0].endswith(" records on other chromosomes")
