# Reads a report workbook back and prints what a checker needs as JSON.
import json
import sys

import openpyxl

book = openpyxl.load_workbook(sys.argv[1])
ws = book.worksheets[0]
title = ws.cell(1, 1)
out = {
    "merged": [str(r) for r in ws.merged_cells.ranges],
    "title": {"value": title.value, "bold": bool(title.font.b), "size": float(title.font.sz or 0),
              "horizontal": title.alignment.horizontal, "vertical": title.alignment.vertical},
    "date": {"value": ws.cell(2, 1).value, "size": float(ws.cell(2, 1).font.sz or 0)},
    "row3": [ws.cell(3, c).value for c in range(1, ws.max_column + 1)],
    "captions": [ws.cell(4, c).value for c in range(1, ws.max_column + 1)],
    "caption_size": float(ws.cell(4, 1).font.sz or 0),
    "rows": [],
    "formats": [],
    "types": [],
    "widths": {k: v.width for k, v in ws.column_dimensions.items()},
    "max_row": ws.max_row,
    "max_column": ws.max_column,
}
for r in range(5, ws.max_row + 1):
    out["rows"].append([ws.cell(r, c).value for c in range(1, ws.max_column + 1)])
    out["formats"].append([ws.cell(r, c).number_format for c in range(1, ws.max_column + 1)])
    out["types"].append([ws.cell(r, c).data_type for c in range(1, ws.max_column + 1)])
print(json.dumps(out))
