#!/usr/bin/python3
"""Writes a sample meter workbook for the desk's import:
    make_sample_workbook.py OUT.xlsx [COUNT]
Row 1 holds the headings; columns A to F are NID, client, address, meter serial, route and type,
column N the reset value; columns G to M hold notes the import ignores."""
import random
import sys

import openpyxl

out = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 25
rng = random.Random(7)
streets = ["Av. Libertador", "Calle Mayor", "Jr. Las Flores", "Av. del Sol", "Calle 9 de Julio", "Pasaje Ñandú"]
book = openpyxl.Workbook()
ws = book.active
ws.title = "Medidores"
ws.append(["NID", "Nro de Cliente", "Direccion", "Serie de Medidor", "Ruta", "Tipos de",
           "nota", "", "", "", "", "", "", "RESET"])
for nid in range(1, count + 1):
    serial = rng.randrange(10 ** 4, 10 ** 9)
    ws.append([nid, "%07d" % rng.randrange(10 ** 6), "%s %d" % (rng.choice(streets), rng.randrange(1, 3000)),
               serial if nid % 3 else str(serial), "R%02d" % (1 + nid % 4), rng.choice(["T1", "T2", "M3"]),
               "ignored", None, None, None, None, None, None, "%d" % rng.randrange(0, 5)])
book.save(out)
print("make_sample_workbook: wrote %s with %d meters" % (out, count))
