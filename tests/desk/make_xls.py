# Writes a BIFF8 workbook from JSON on standard input: {"rows": [[cell, ...], ...]} where a cell is
# null (left empty), a text, a number, a boolean, {"date": "YYYY-MM-DD"} or {"error": "#DIV/0!"}.
import datetime
import json
import sys

import xlwt

layout = json.load(sys.stdin)
book = xlwt.Workbook()
sheet = book.add_sheet("Meters")
date_style = xlwt.easyxf(num_format_str="YYYY-MM-DD")
for r, row in enumerate(layout["rows"]):
    for c, value in enumerate(row):
        if value is None:
            continue
        if isinstance(value, dict) and "error" in value:
            sheet.row(r).set_cell_error(c, value["error"])
        elif isinstance(value, dict):
            sheet.write(r, c, datetime.datetime.strptime(value["date"], "%Y-%m-%d"), date_style)
        else:
            sheet.write(r, c, value)
for extra in layout.get("sheets", []):
    book.add_sheet(extra)
book.save(sys.argv[1])
