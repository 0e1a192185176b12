# Reads a .DBF table with an independent reader (python3-dbfread) and prints
# one line per record: L (live) or D (deleted), then the fields, tab-separated:
# text without trailing blanks, numbers with 4 decimals, dates as YYYY-MM-DD
# or None, logical values as T / F. Live records first, then deleted ones,
# each in file order.
import sys

from dbfread import DBF


def show(value):
    if value is None:
        return "None"
    if isinstance(value, bool):
        return "T" if value else "F"
    if isinstance(value, (int, float)):
        return "%.4f" % value
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return str(value)


table = DBF(sys.argv[1], encoding="latin-1", char_decode_errors="strict", load=True)
print("COUNT\t%d" % table.header.numrecords)
for mark, records in (("L", table.records), ("D", table.deleted)):
    for record in records:
        print(mark + "\t" + "\t".join(show(v) for v in record.values()))
