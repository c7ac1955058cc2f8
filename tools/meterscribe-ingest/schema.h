// The text of schema.sql, built into the tool so --init needs no files.
#pragma once

extern const char* const INGEST_SCHEMA;
