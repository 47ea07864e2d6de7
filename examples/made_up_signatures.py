"""Writes a table of made-up SBS96 signatures, for trying `mutflank fit` on the road.

    python3 examples/made_up_signatures.py OUT.tsv

Real analyses use the published reference signatures; this table only has their layout: a
`MutationType` column of the 96 channels, then one column per signature, each summing to 1.
"C_to_T" puts most of its weight on C>T (as the demo's "mutator" sample does), "flat" spreads
it evenly, and "T_to_C" favours T>C. Every run writes the same file.
"""

import sys

from mutflank_tools.counting import channels


def main(output):
    names = ("C_to_T", "flat", "T_to_C")
    weights = {name: [] for name in names}
    for label in channels.SBS96:
        change = label[2:5]
        weights["C_to_T"].append(20.0 if change == "C>T" else 1.0)
        weights["flat"].append(1.0)
        weights["T_to_C"].append(20.0 if change == "T>C" else 1.0)
    totals = {name: sum(values) for name, values in weights.items()}
    with open(output, "w", encoding="utf-8") as out:
        out.write("\t".join(["MutationType", *names]) + "\n")
        for row, label in enumerate(channels.SBS96):
            out.write("\t".join([label, *(f"{weights[n][row] / totals[n]:.8f}" for n in names)])
                      + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    main(sys.argv[1])
