-- The meter table of db.mdb.  Positions 0 to 5 and 14 are filled by the import; positions 6 to 13
-- hold what a new row gets.
CREATE TABLE Meter (
  NID      INTEGER,
  clientid TEXT,
  address  TEXT,
  meterid  TEXT,
  ROTER    TEXT,
  lx       TEXT,
  PA       REAL DEFAULT 0,
  A1       REAL DEFAULT 0,
  A2       REAL DEFAULT 0,
  LE       REAL DEFAULT 0,
  RE       REAL DEFAULT 0,
  RV       REAL DEFAULT 0,
  RC       REAL DEFAULT 0,
  RD       REAL DEFAULT 0,
  RESET    TEXT
);
