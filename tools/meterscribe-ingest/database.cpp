#include "database.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "schema.h"

namespace {

struct ResultClear {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClear>;

bool failed(PGconn* connection, const char* doing, std::string& error) {
  error = std::string(doing) + ": " + PQerrorMessage(connection);
  while (!error.empty() && error.back() == '\n') error.pop_back();
  return false;
}

bool succeeded(const Result& result) {
  ExecStatusType status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

bool execute(PGconn* connection, const char* sql, const char* doing, std::string& error) {
  Result result(PQexec(connection, sql));
  return succeeded(result) || failed(connection, doing, error);
}

// A statement with text parameters; the result is kept for the caller.
bool execute(PGconn* connection, const char* sql, const std::vector<std::string>& parameters, Result& result,
             const char* doing, std::string& error) {
  std::vector<const char*> values;
  values.reserve(parameters.size());
  for (const std::string& parameter : parameters) values.push_back(parameter.c_str());
  result.reset(PQexecParams(connection, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                            nullptr, 0));
  return succeeded(result) || failed(connection, doing, error);
}

// The first field of a result that has a row.
std::string first_field(const Result& result) {
  return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
}

bool copy_rows(PGconn* connection, const char* sql, const std::string& rows, std::string& error) {
  if (rows.empty()) return true;
  Result start(PQexec(connection, sql));
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) return failed(connection, "COPY", error);
  constexpr std::size_t CHUNK = 1 << 16;
  for (std::size_t at = 0; at < rows.size(); at += CHUNK) {
    std::size_t length = std::min(CHUNK, rows.size() - at);
    if (PQputCopyData(connection, rows.data() + at, static_cast<int>(length)) != 1)
      return failed(connection, "COPY", error);
  }
  if (PQputCopyEnd(connection, nullptr) != 1) return failed(connection, "COPY", error);
  Result end(PQgetResult(connection));
  return succeeded(end) || failed(connection, "COPY", error);
}

std::string number_text(double number) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", number);
  return text;
}

bool store_map(PGconn* connection, const std::string& gateway_id, const GatewayDecoding& decoding,
               std::string& error) {
  Result result;
  if (!execute(connection, "DELETE FROM register_map WHERE gateway = $1", {gateway_id}, result,
               "replacing the register map", error))
    return false;
  for (const MappedValue& value : decoding.map.values)
    if (!execute(connection,
                 "INSERT INTO register_map (gateway, meter, function, address, name, type, byte_order, scale, unit) "
                 "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, nullif($9, ''))",
                 {gateway_id, std::to_string(value.meter), std::to_string(value.function),
                  std::to_string(value.address), value.name, type_name(value.type), order_name(value.order),
                  number_text(value.scale), value.unit},
                 result, "storing the register map", error))
      return false;
  return true;
}

bool store_series(PGconn* connection, const std::string& gateway_id, GatewayDecoding& decoding,
                  std::string& error) {
  decoding.series.clear();
  decoding.values_per_response.clear();
  for (unsigned i = 0; i < decoding.table.count; ++i) {
    const MeterConfig& meter = decoding.table.meters[i];
    unsigned count = meter.func == 1 ? meter.bin_count & 0xFFFF : meter.reg_count;
    Result result;
    std::vector<std::string> key = {gateway_id,
                                    std::to_string(i + 1),
                                    std::to_string(meter.addr),
                                    std::to_string(meter.func),
                                    std::to_string(meter.start & 0xFFFF),
                                    std::to_string(count)};
    // A series moved from version 1 with a guessed start takes the
    // settings' start, unless the settings' series exists already.
    if (!execute(connection,
                 "UPDATE series SET start = $5, guessed = false WHERE id = (SELECT min(id) FROM series WHERE "
                 "gateway = $1 AND meter = $2 AND slave = $3 AND function = $4 AND count = $6 AND guessed) "
                 "AND NOT EXISTS (SELECT FROM series WHERE gateway = $1 AND meter = $2 AND slave = $3 "
                 "AND function = $4 AND start = $5 AND count = $6)",
                 key, result, "registering the meters", error) ||
        !execute(connection,
                 "INSERT INTO series (gateway, meter, slave, function, start, count) VALUES ($1, $2, $3, $4, $5, $6) "
                 "ON CONFLICT (gateway, meter, slave, function, start, count) DO UPDATE SET meter = EXCLUDED.meter "
                 "RETURNING id",
                 key, result, "registering the meters", error))
      return false;
    decoding.series.push_back(std::strtol(first_field(result).c_str(), nullptr, 10));
    decoding.values_per_response.push_back(values_per_response(decoding, i));
  }
  return true;
}

// Whether ingested_files has a row for the lookup.
bool file_recorded(PGconn* connection, const char* lookup, const std::vector<std::string>& parameters, bool& found,
                   std::string& error) {
  Result result;
  if (!execute(connection, lookup, parameters, result, "looking up the file", error)) return false;
  found = PQntuples(result.get()) > 0;
  return true;
}

// The readings of the responses added, from their number in each series.
unsigned long long new_readings(const Result& result, const GatewayDecoding& decoding) {
  unsigned long long readings = 0;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    long series = std::strtol(PQgetvalue(result.get(), row, 0), nullptr, 10);
    unsigned long long responses = std::strtoull(PQgetvalue(result.get(), row, 1), nullptr, 10);
    for (std::size_t meter = 0; meter < decoding.series.size(); ++meter)
      if (decoding.series[meter] == series) readings += responses * decoding.values_per_response[meter];
  }
  return readings;
}

}  // namespace

bool connect_database(const char* conninfo, Connection& connection, std::string& error) {
  connection.reset(PQconnectdb(conninfo));
  if (PQstatus(connection.get()) != CONNECTION_OK)
    return failed(connection.get(), "cannot connect to the database", error);
  // "already exists, skipping" from every run of --init is no news.
  return execute(connection.get(), "SET client_min_messages = warning", "setting up the session", error);
}

bool apply_schema(PGconn* connection, std::string& error) {
  return execute(connection, INGEST_SCHEMA, "applying the schema", error);
}

bool schema_is_current(PGconn* connection, std::string& error) {
  // A database of the first version has no schema_version table at all.
  Result table(PQexec(connection, "SELECT to_regclass('schema_version') IS NOT NULL"));
  if (!succeeded(table)) return failed(connection, "reading the schema's version", error);
  std::string found = "none";
  if (std::string_view(PQgetvalue(table.get(), 0, 0)) == "t") {
    Result version(PQexec(connection, "SELECT coalesce(max(version)::text, 'none') FROM schema_version"));
    if (!succeeded(version)) return failed(connection, "reading the schema's version", error);
    found = PQgetvalue(version.get(), 0, 0);
  }
  if (found == std::to_string(SCHEMA_VERSION)) return true;
  error = "the database holds schema version " + found + ", this tool writes version " +
          std::to_string(SCHEMA_VERSION) + ": run meterscribe-ingest --init first (it upgrades in place)";
  return false;
}

bool prepare_staging(PGconn* connection, std::string& error) {
  return execute(connection,
                 "CREATE TEMP TABLE IF NOT EXISTS ingest_responses "
                 "(time timestamptz, series integer, line integer, frame bytea) "
                 "ON COMMIT DELETE ROWS;"
                 "CREATE TEMP TABLE IF NOT EXISTS ingest_rejects "
                 "(line integer, text text, reason text, text_sha256 text) ON COMMIT DELETE ROWS",
                 "creating the staging tables", error);
}

bool keep_partitions(PGconn* connection, std::string& error) {
  return execute(connection, "SELECT meterscribe_partitions()", "creating partitions", error);
}

bool register_gateway(PGconn* connection, GatewayDecoding& decoding, std::string& error) {
  Result result;
  if (!execute(connection, "BEGIN", "starting the transaction", error)) return false;
  bool registered = execute(connection,
                            "INSERT INTO gateways (name, mapped) VALUES ($1, $2) "
                            "ON CONFLICT (name) DO UPDATE SET mapped = EXCLUDED.mapped RETURNING id",
                            {decoding.gateway, decoding.mapped ? "true" : "false"}, result,
                            "registering the gateway", error);
  std::string id = registered ? first_field(result) : "";
  if (registered && store_map(connection, id, decoding, error) && store_series(connection, id, decoding, error) &&
      execute(connection, "SELECT meterscribe_series_values($1)", {id}, result, "storing the series' values",
              error) &&
      execute(connection, "COMMIT", "committing", error))
    return true;
  abandon_file(connection);
  return false;
}

bool loaded_with_size(PGconn* connection, const std::string& gateway, const std::string& name,
                      unsigned long long size, bool& loaded, std::string& error) {
  return file_recorded(connection, "SELECT 1 FROM ingested_files WHERE gateway = $1 AND name = $2 AND size = $3",
                       {gateway, name, std::to_string(size)}, loaded, error);
}

bool loaded_before(PGconn* connection, const std::string& gateway, const std::string& name, const std::string& sha256,
                   bool& loaded, std::string& error) {
  return file_recorded(connection, "SELECT 1 FROM ingested_files WHERE gateway = $1 AND name = $2 AND sha256 = $3",
                       {gateway, name, sha256}, loaded, error);
}

bool begin_file(PGconn* connection, std::string& error) {
  return execute(connection, "BEGIN", "starting the transaction", error);
}

bool send_batch(PGconn* connection, FileRows& rows, std::string& error) {
  if (!copy_rows(connection, "COPY ingest_responses (time, series, line, frame) FROM STDIN", rows.responses,
                 error) ||
      !copy_rows(connection, "COPY ingest_rejects (line, text, reason, text_sha256) FROM STDIN", rows.rejects, error))
    return false;
  rows.responses.clear();
  rows.rejects.clear();
  return true;
}

// The gateway's lock is held to the commit: a response is looked for and
// added by one tool at a time, so no index on the frame is needed to keep
// it once. The lookup probes (series, time), never a scan of the store.
bool finish_file(PGconn* connection, const GatewayDecoding& decoding, const FileRows& rows, FileOutcome& outcome,
                 std::string& error) {
  const std::string& gateway = decoding.gateway;
  outcome = {};
  Result result;
  if (!execute(connection, "SELECT pg_advisory_xact_lock(hashtext('meterscribe-ingest ' || $1))", {gateway}, result,
               "locking the gateway", error) ||
      !execute(connection,
               "INSERT INTO ingested_files (gateway, name, size, sha256, lines, rejected, readings) "
               "VALUES ($1, $2, $3, $4, $5, $6, 0) ON CONFLICT DO NOTHING RETURNING id",
               {gateway, rows.name, std::to_string(rows.size), rows.sha256, std::to_string(rows.lines),
                std::to_string(rows.rejected)},
               result, "recording the file", error))
    return false;
  if (PQntuples(result.get()) == 0) {
    outcome.loaded_before = true;
    abandon_file(connection);
    return true;
  }
  std::string file = first_field(result);
  if (!execute(connection, "SET LOCAL enable_hashjoin = off; SET LOCAL enable_mergejoin = off",
               "setting up the transaction", error) ||
      !execute(connection,
               "WITH new AS (INSERT INTO responses (time, series, file, line, frame) "
               "SELECT DISTINCT ON (series, time, frame) time, series, $1::integer, line, frame FROM ingest_responses s "
               "WHERE NOT EXISTS (SELECT FROM responses r WHERE r.series = s.series AND r.time = s.time "
               "AND r.frame = s.frame) ORDER BY series, time, frame, line RETURNING series) "
               "SELECT series, count(*) FROM new GROUP BY series",
               {file}, result, "inserting responses", error))
    return false;
  outcome.new_readings = new_readings(result, decoding);
  return execute(connection, "UPDATE ingested_files SET readings = $2 WHERE id = $1",
                 {file, std::to_string(outcome.new_readings)}, result, "recording the file", error) &&
         execute(connection,
                 "INSERT INTO rejects (gateway, file, line, text, reason, text_sha256, occurrence) "
                 "SELECT $1, $2, line, text, reason, text_sha256, "
                 "row_number() OVER (PARTITION BY text_sha256 ORDER BY line) FROM ingest_rejects "
                 "ON CONFLICT DO NOTHING",
                 {gateway, rows.name}, result, "recording rejected lines", error) &&
         execute(connection, "COMMIT", "committing", error);
}

void abandon_file(PGconn* connection) {
  std::string ignored;
  execute(connection, "ROLLBACK", "rolling back", ignored);
}
