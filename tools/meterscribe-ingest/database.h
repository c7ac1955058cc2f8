// The database side of the ingest: the schema, the monthly partitions, and
// each file loaded in one transaction with its row in ingested_files.
#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>

#include "file_rows.h"

struct ConnectionClose {
  void operator()(PGconn* connection) const { PQfinish(connection); }
};
using Connection = std::unique_ptr<PGconn, ConnectionClose>;

// libpq's connection string; "" takes PGHOST, PGDATABASE, ... from the
// environment. False with `error` set when no session was had.
bool connect_database(const char* conninfo, Connection& connection, std::string& error);

// Applies the schema (tools/meterscribe-ingest/schema.sql); it may run again.
bool apply_schema(PGconn* connection, std::string& error);

// The session's staging table: readings are copied there first, then
// inserted into readings where they are not yet present.
bool prepare_staging(PGconn* connection, std::string& error);

// Whether a file of this gateway, name, size and content hash was loaded
// before; `rows` needs only what read_delivered_file gives it.
bool loaded_before(PGconn* connection, const std::string& gateway, const FileRows& rows, bool& loaded,
                   std::string& error);

// The monthly partitions of the months given and of the month after each,
// so the next month's first readings find theirs.
bool create_partitions(PGconn* connection, const std::set<std::string>& months, std::string& error);

struct FileOutcome {
  unsigned long long new_readings;  // readings that were not in the table
};

// Loads a file's readings and rejects and records it, all or nothing.
bool load_file(PGconn* connection, const std::string& gateway, const FileRows& rows, FileOutcome& outcome,
               std::string& error);
