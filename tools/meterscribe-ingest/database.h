// The database side of the ingest: the schema, the partitions, each
// gateway's keys and register map, and each file loaded in one transaction
// with its row in ingested_files.
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

// Applies the schema (tools/meterscribe-ingest/schema.sql); it may run
// again, and it upgrades a database of an earlier version in place.
bool apply_schema(PGconn* connection, std::string& error);

// The schema version this tool writes; schema.sql records it.
constexpr int SCHEMA_VERSION = 2;

// Whether the database holds this tool's schema version; false with
// `error` saying to run --init when it holds another or none.
bool schema_is_current(PGconn* connection, std::string& error);

// The session's staging tables: a file's responses and rejects are copied
// there in batches, then moved into the store where they are not yet.
bool prepare_staging(PGconn* connection, std::string& error);

// The monthly partitions of the window around the server's clock; the
// months outside it share the default partition.
bool keep_partitions(PGconn* connection, std::string& error);

// Registers the gateway, its series (one per meter slot) and its register
// map, filling decoding.series and decoding.values_per_response.
bool register_gateway(PGconn* connection, GatewayDecoding& decoding, std::string& error);

// Whether a file of this gateway and name was loaded with this size: only
// then is its content hashed to tell.
bool loaded_with_size(PGconn* connection, const std::string& gateway, const std::string& name,
                      unsigned long long size, bool& loaded, std::string& error);
bool loaded_before(PGconn* connection, const std::string& gateway, const std::string& name, const std::string& sha256,
                   bool& loaded, std::string& error);

// One file's load: begin, send batches while streaming, then finish.
bool begin_file(PGconn* connection, std::string& error);
bool send_batch(PGconn* connection, FileRows& rows, std::string& error);

struct FileOutcome {
  bool loaded_before;               // another run recorded this content meanwhile: nothing was added
  unsigned long long new_readings;  // readings of the responses that were not in the store
};

// Moves the staged rows into the store and records the file, all or
// nothing; `rows` must hold the whole file's counts and hash.
bool finish_file(PGconn* connection, const GatewayDecoding& decoding, const FileRows& rows, FileOutcome& outcome,
                 std::string& error);
void abandon_file(PGconn* connection);
