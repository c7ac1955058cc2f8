#include "database.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "schema.h"
#include "sha256.h"

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

bool copy_readings(PGconn* connection, const FileRows& rows, std::string& error) {
  std::string sql = std::string("COPY ingest_staging (") + READING_COLUMNS + ") FROM STDIN";
  Result start(PQexec(connection, sql.c_str()));
  if (PQresultStatus(start.get()) != PGRES_COPY_IN) return failed(connection, "COPY", error);
  constexpr std::size_t CHUNK = 1 << 16;
  for (std::size_t at = 0; at < rows.copy_text.size(); at += CHUNK) {
    std::size_t length = std::min(CHUNK, rows.copy_text.size() - at);
    if (PQputCopyData(connection, rows.copy_text.data() + at, static_cast<int>(length)) != 1)
      return failed(connection, "COPY", error);
  }
  if (PQputCopyEnd(connection, nullptr) != 1) return failed(connection, "COPY", error);
  Result end(PQgetResult(connection));
  return succeeded(end) || failed(connection, "COPY", error);
}

bool insert_new_readings(PGconn* connection, FileOutcome& outcome, std::string& error) {
  std::string sql = std::string("INSERT INTO readings (") + READING_COLUMNS + ") SELECT " + READING_COLUMNS +
                    " FROM ingest_staging ON CONFLICT DO NOTHING";
  Result result(PQexec(connection, sql.c_str()));
  if (!succeeded(result)) return failed(connection, "inserting readings", error);
  outcome.new_readings = std::strtoull(PQcmdTuples(result.get()), nullptr, 10);
  return execute(connection, "TRUNCATE ingest_staging", "emptying the staging table", error);
}

bool insert_rejects(PGconn* connection, const std::string& gateway, const FileRows& rows, std::string& error) {
  Result result;
  std::map<std::string, unsigned> occurrences;  // of each text in the file so far
  for (const RejectedLine& line : rows.rejects) {
    std::string sha256 = sha256_hex(reinterpret_cast<const std::uint8_t*>(line.text.data()), line.text.size());
    unsigned occurrence = ++occurrences[sha256];
    if (!execute(connection,
                 "INSERT INTO rejects (gateway, file, line, text, reason, text_sha256, occurrence) "
                 "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING",
                 {gateway, rows.name, std::to_string(line.number), line.text, line.reason, sha256,
                  std::to_string(occurrence)},
                 result, "recording a rejected line", error))
      return false;
  }
  return true;
}

bool record_file(PGconn* connection, const std::string& gateway, const FileRows& rows, const FileOutcome& outcome,
                 std::string& error) {
  Result result;
  return execute(connection,
                 "INSERT INTO ingested_files (gateway, name, size, sha256, lines, rejected, readings) "
                 "VALUES ($1, $2, $3, $4, $5, $6, $7)",
                 {gateway, rows.name, std::to_string(rows.size), rows.sha256, std::to_string(rows.lines),
                  std::to_string(rows.rejects.size()), std::to_string(outcome.new_readings)},
                 result, "recording the file", error);
}

// "YYYY-MM" of the month after.
std::string next_month(const std::string& month) {
  // The text is "YYYY-MM" from a checked log time.
  long year = std::strtol(month.substr(0, 4).c_str(), nullptr, 10);
  long number = std::strtol(month.substr(5, 2).c_str(), nullptr, 10);
  char text[32];
  std::snprintf(text, sizeof text, "%04ld-%02ld", number == 12 ? year + 1 : year, number == 12 ? 1 : number + 1);
  return text;
}

bool create_partition(PGconn* connection, const std::string& month, std::string& error) {
  std::string name = "readings_" + month.substr(0, 4) + "_" + month.substr(5, 2);
  std::string sql = "CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF readings FOR VALUES FROM ('" + month +
                    "-01 00:00:00+00') TO ('" + next_month(month) + "-01 00:00:00+00')";
  return execute(connection, sql.c_str(), "creating a partition", error);
}

}  // namespace

bool connect_database(const char* conninfo, Connection& connection, std::string& error) {
  connection.reset(PQconnectdb(conninfo));
  if (PQstatus(connection.get()) != CONNECTION_OK)
    return failed(connection.get(), "cannot connect to the database", error);
  // "already exists, skipping" from every run of --init and each partition
  // is no news.
  return execute(connection.get(), "SET client_min_messages = warning", "setting up the session", error);
}

bool apply_schema(PGconn* connection, std::string& error) {
  return execute(connection, INGEST_SCHEMA, "applying the schema", error);
}

bool prepare_staging(PGconn* connection, std::string& error) {
  return execute(connection, "CREATE TEMP TABLE IF NOT EXISTS ingest_staging (LIKE readings)",
                 "creating the staging table", error);
}

bool loaded_before(PGconn* connection, const std::string& gateway, const FileRows& rows, bool& loaded,
                   std::string& error) {
  Result result;
  if (!execute(connection,
               "SELECT 1 FROM ingested_files WHERE gateway = $1 AND name = $2 AND size = $3 AND sha256 = $4",
               {gateway, rows.name, std::to_string(rows.size), rows.sha256}, result, "looking up the file", error))
    return false;
  loaded = PQntuples(result.get()) > 0;
  return true;
}

bool create_partitions(PGconn* connection, const std::set<std::string>& months, std::string& error) {
  for (const std::string& month : months)
    if (!create_partition(connection, month, error) || !create_partition(connection, next_month(month), error))
      return false;
  return true;
}

bool load_file(PGconn* connection, const std::string& gateway, const FileRows& rows, FileOutcome& outcome,
               std::string& error) {
  outcome = {};
  if (!execute(connection, "BEGIN", "starting the transaction", error)) return false;
  if (copy_readings(connection, rows, error) && insert_new_readings(connection, outcome, error) &&
      insert_rejects(connection, gateway, rows, error) && record_file(connection, gateway, rows, outcome, error) &&
      execute(connection, "COMMIT", "committing", error))
    return true;
  std::string ignored;
  execute(connection, "ROLLBACK", "rolling back", ignored);
  return false;
}
