-- meterscribe-ingest: the tables the delivered log files are loaded into.
-- Applied by meterscribe-ingest --init; every statement may run again.

-- One row per value of a logged response. The raw frame stays beside the
-- decoded values, so a wrong register map can be decoded again later
-- without the files.
CREATE TABLE IF NOT EXISTS readings (
  gateway  text NOT NULL,
  meter    smallint NOT NULL,          -- 1-based slot of the settings file
  slave    smallint NOT NULL,
  function smallint NOT NULL,
  address  integer NOT NULL,           -- register or coil address
  name     text,                       -- the register map's name; null without a map
  time     timestamptz NOT NULL,       -- the gateway's local time, placed with its zone
  value    double precision,
  raw      numeric,                    -- the number as the wire holds it, before scaling
  unit     text,
  frame    bytea NOT NULL,             -- the response as logged, CRC included
  file     text NOT NULL,
  line     integer NOT NULL
) PARTITION BY RANGE (time);

-- A reading is loaded once whatever the delivery history: the same raw
-- number of the same register of the same meter at the same logged time is
-- the same reading. Log times have whole seconds, and a meter may be logged
-- more than once in one (a period of 0, the hour repeated when the clocks
-- go back, a clock stepped back): with another number it is another
-- reading, kept beside the first.
CREATE UNIQUE INDEX IF NOT EXISTS readings_identity
  ON readings (gateway, meter, time, address, name, raw) NULLS NOT DISTINCT;
-- Tables made before the raw number was part of a reading's identity.
DROP INDEX IF EXISTS readings_once;

-- One meter's values over a period: the unique index above serves it.
-- The latest value of every meter of a gateway: newest first per value.
CREATE INDEX IF NOT EXISTS readings_latest ON readings (gateway, meter, address, name, time DESC);

-- Every file loaded, in the same transaction as its readings. A file whose
-- name and content were loaded before is skipped.
CREATE TABLE IF NOT EXISTS ingested_files (
  gateway   text NOT NULL,
  name      text NOT NULL,
  size      bigint NOT NULL,
  sha256    text NOT NULL,
  lines     integer NOT NULL,
  rejected  integer NOT NULL,
  readings  bigint NOT NULL,           -- readings new to the table
  loaded_at timestamptz NOT NULL DEFAULT now(),
  PRIMARY KEY (gateway, name, sha256)
);

-- Lines that failed validation, with the reason. A line is known by its
-- text's SHA-256 and by which occurrence of that text in the file it is:
-- the same line delivered again (the file sent twice, its head cut) is
-- recorded once, two equal lines of one file twice, and a line of any
-- length fits the key.
CREATE TABLE IF NOT EXISTS rejects (
  gateway text NOT NULL,
  file    text NOT NULL,
  line    integer NOT NULL,
  text    text NOT NULL,
  reason  text NOT NULL
);
ALTER TABLE rejects ADD COLUMN IF NOT EXISTS text_sha256 text;
ALTER TABLE rejects ADD COLUMN IF NOT EXISTS occurrence integer;  -- 1 for the first line of its text in the file
-- Tables made when the whole text was the key: a long line could not be
-- recorded, and equal lines of a file were recorded once.
ALTER TABLE rejects DROP CONSTRAINT IF EXISTS rejects_gateway_file_text_reason_key;
CREATE UNIQUE INDEX IF NOT EXISTS rejects_once ON rejects (gateway, file, text_sha256, occurrence);
