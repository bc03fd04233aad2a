"""Draws docs/resize.svg from the resize table in docs/performance.md.

    python docs/plot_performance.py

A grouped horizontal bar chart, ms per image (lower is better), one group per
table row and one bar per column. Plain SVG: no plotting library needed.
"""

import re
from pathlib import Path

HERE = Path(__file__).parent
COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b"]


def resize_table(text: str) -> tuple[list[str], list[tuple[str, list[float]]]]:
    lines = text[text.index("<!-- resize-table") :].splitlines()[1:]
    rows = []
    for line in lines:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    header, body = rows[0][1:], rows[2:]
    return header, [(r[0], [float(re.match(r"[\d.]+", c).group()) for c in r[1:]]) for r in body]


def svg(header: list[str], rows: list[tuple[str, list[float]]]) -> str:
    bar, gap, left, width = 14, 18, 290, 420
    top = 30 + 18 * len(header)
    scale = width / max(v for _, values in rows for v in values)
    out, y = [], top
    for i, name in enumerate(header):  # legend
        out.append(f'<rect x="{left}" y="{12 + 18 * i}" width="12" height="12" fill="{COLOURS[i]}"/>'
                   f'<text x="{left + 18}" y="{22 + 18 * i}">{name}</text>')
    for label, values in rows:
        out.append(f'<text x="{left - 8}" y="{y + bar * len(values) / 2 + 4}" text-anchor="end">{label.replace(">", "&gt;")}</text>')
        for i, v in enumerate(values):
            out.append(f'<rect x="{left}" y="{y}" width="{v * scale:.1f}" height="{bar - 2}" fill="{COLOURS[i]}"/>'
                       f'<text x="{left + v * scale + 4:.1f}" y="{y + bar - 3}">{v:g}</text>')
            y += bar
        y += gap
    height = y + 20
    out.append(f'<text x="{left}" y="{height - 6}">ms per image, lower is better</text>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{left + width + 60}" height="{height}" '
            f'font-family="sans-serif" font-size="12"><rect width="100%" height="100%" fill="white"/>'
            + "".join(out) + "</svg>\n")


if __name__ == "__main__":
    header, rows = resize_table((HERE / "performance.md").read_text())
    (HERE / "resize.svg").write_text(svg(header, rows))
    print(f"wrote {HERE / 'resize.svg'}: {len(rows)} rows x {len(header)} columns")
