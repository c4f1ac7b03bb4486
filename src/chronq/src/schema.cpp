// chronq's schema: its tables, the daily partitions of the time series, the views people read
// them through, the upgrade of a database made with one plain time-series table, and retention.
#include "chronq/partitions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

#include "pg.h"

namespace chronq {

namespace {

using SteadyClock = std::chrono::steady_clock;

// chronq's own advisory lock key: two programs changing the schema at once (creating it,
// adding a day, dropping old days, upgrading) take turns instead of failing on each other's
// half-made objects.
#define CHRONQ_SCHEMA_LOCK "7301042025"

// Descriptions are `json`, not `jsonb`, so that their keys keep the order they were given in.
// The time series is range-partitioned by UTC day; its partitions live in a schema of their own
// so that chronq's schema shows the tables and views people use, not one table per day. A
// database made before the partitions keeps its plain chronq.tsdata here: upgrade() converts it.
constexpr const char* kCreateTables = R"SQL(
BEGIN;
SELECT pg_advisory_xact_lock()SQL" CHRONQ_SCHEMA_LOCK R"SQL();
CREATE SCHEMA IF NOT EXISTS chronq;
CREATE SCHEMA IF NOT EXISTS chronq_partitions;
CREATE TABLE IF NOT EXISTS chronq.sources (
    source_id     bigserial PRIMARY KEY,
    source_name   text NOT NULL,
    endpoint      text NOT NULL,
    status        text NOT NULL CHECK (status IN ('ACTIVE', 'INACTIVE')),
    protocol      text NOT NULL CHECK (protocol IN ('OPC_DA', 'OPC_UA')),
    source_type   text NOT NULL DEFAULT '',
    interval_msec integer NOT NULL,
    description   json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    created_at    timestamptz NOT NULL DEFAULT now(),
    updated_at    timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX IF NOT EXISTS sources_name_idx ON chronq.sources (source_name);
CREATE TABLE IF NOT EXISTS chronq.tags (
    tag_id         bigserial PRIMARY KEY,
    tag_name       text NOT NULL UNIQUE,
    description    json NOT NULL DEFAULT '{}' CHECK (json_typeof(description) = 'object'),
    source_id      bigint REFERENCES chronq.sources (source_id) ON DELETE SET NULL,
    source_tagname text NOT NULL DEFAULT '',
    created_at     timestamptz NOT NULL DEFAULT now(),
    updated_at     timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE IF NOT EXISTS chronq.tsdata (
    time    timestamptz NOT NULL DEFAULT now(),
    tag_id  bigint NOT NULL,
    value   double precision,
    quality text NOT NULL
) PARTITION BY RANGE (time);
CREATE INDEX IF NOT EXISTS tsdata_tag_time_idx ON chronq.tsdata (tag_id, time);
CREATE TABLE IF NOT EXISTS chronq.write_marks (
    writer     text PRIMARY KEY,
    seq        bigint NOT NULL,
    updated_at timestamptz NOT NULL DEFAULT now()
);
COMMIT;
)SQL";

// What reads the partitioned time series: the partitions with their time ranges, the samples by
// tag and source name, each tag's newest sample; and the functions that add and drop days.
// A partition's range is read back from its bound, which PostgreSQL prints in the session's
// time zone with its offset, so the text casts back to the same instant. The bound holds no
// column, so it is printed without naming the partition: naming it would lock it, and a
// connection would then wait behind anyone holding the table.
constexpr const char* kCreateObjects = R"SQL(
BEGIN;
SELECT pg_advisory_xact_lock()SQL" CHRONQ_SCHEMA_LOCK R"SQL();
CREATE OR REPLACE VIEW chronq.tsdata_partitions AS
SELECT c.oid::regclass::text AS name,
       CASE WHEN b.lo = 'MINVALUE' THEN '-infinity'::timestamptz
            ELSE btrim(b.lo, '''')::timestamptz END AS from_time,
       CASE WHEN b.hi = 'MAXVALUE' THEN 'infinity'::timestamptz
            ELSE btrim(b.hi, '''')::timestamptz END AS to_time
  FROM pg_inherits i
  JOIN pg_class c ON c.oid = i.inhrelid
 CROSS JOIN LATERAL (
       SELECT substring(pg_get_expr(c.relpartbound, 0) FROM 'FROM \((.*)\) TO \(') AS lo,
              substring(pg_get_expr(c.relpartbound, 0) FROM ' TO \((.*)\)$') AS hi) b
 WHERE i.inhparent = 'chronq.tsdata'::regclass;

CREATE OR REPLACE VIEW chronq.samples AS
SELECT d.time, t.tag_name AS tag, d.value, d.quality, s.source_name AS source
  FROM chronq.tsdata d
  JOIN chronq.tags t ON t.tag_id = d.tag_id
  LEFT JOIN chronq.sources s ON s.source_id = t.source_id;

CREATE OR REPLACE VIEW chronq.latest AS
SELECT l.time, t.tag_name AS tag, l.value, l.quality, s.source_name AS source
  FROM chronq.tags t
 CROSS JOIN LATERAL (SELECT d.time, d.value, d.quality
                       FROM chronq.tsdata d
                      WHERE d.tag_id = t.tag_id
                      ORDER BY d.time DESC
                      LIMIT 1) l
  LEFT JOIN chronq.sources s ON s.source_id = t.source_id;

-- Adds a partition for each UTC day of `days` that no partition covers yet; returns how many.
-- A new day is made as a table of its own and then attached, which takes a lock that lets
-- writers go on, where creating it as a partition would stop them for a moment.
CREATE OR REPLACE FUNCTION chronq.make_partitions(days date[]) RETURNS integer
LANGUAGE plpgsql AS $$
DECLARE
    d date;
    lo timestamptz;
    hi timestamptz;
    part text;
    made integer := 0;
BEGIN
    -- The lock comes before the first look at the partitions: reading the view holds it, and
    -- a collector replacing the view under the lock would wait for this one, which waits for it.
    PERFORM pg_advisory_xact_lock()SQL" CHRONQ_SCHEMA_LOCK R"SQL();
    FOR d IN SELECT DISTINCT x FROM unnest(days) x WHERE x IS NOT NULL ORDER BY x LOOP
        lo := d::timestamp AT TIME ZONE 'UTC';
        hi := (d + 1)::timestamp AT TIME ZONE 'UTC';
        CONTINUE WHEN EXISTS (SELECT 1 FROM chronq.tsdata_partitions p
                               WHERE p.from_time < hi AND p.to_time > lo);
        part := 'tsdata_' || to_char(d, 'YYYYMMDD');
        EXECUTE format('CREATE TABLE chronq_partitions.%I (LIKE chronq.tsdata INCLUDING DEFAULTS)',
                       part);
        -- Named as its part of chronq.tsdata_tag_time_idx, which attaching makes it.
        EXECUTE format('CREATE INDEX %I ON chronq_partitions.%I (tag_id, time)',
                       'tsdata_tag_time_idx_' || to_char(d, 'YYYYMMDD'), part);
        EXECUTE format('ALTER TABLE chronq.tsdata ATTACH PARTITION chronq_partitions.%I '
                       'FOR VALUES FROM (%L) TO (%L)', part, lo, hi);
        made := made + 1;
    END LOOP;
    RETURN made;
END $$;

-- Today and the next two days, in UTC.
CREATE OR REPLACE FUNCTION chronq.make_partitions_ahead() RETURNS integer
LANGUAGE sql AS $$
    SELECT chronq.make_partitions(ARRAY[(now() AT TIME ZONE 'UTC')::date,
                                        (now() AT TIME ZONE 'UTC')::date + 1,
                                        (now() AT TIME ZONE 'UTC')::date + 2])
$$;

-- Drops the partitions that end keep_days or more before now, never the one now falls in, and
-- returns what went with its row count (from the statistics for a large partition, where
-- counting would hold the collector up). A partition still in use by someone else is left for
-- the next time instead of stopping the writers behind this drop's lock.
CREATE OR REPLACE FUNCTION chronq.drop_partitions_older_than(keep_days integer)
RETURNS TABLE (name text, from_time timestamptz, to_time timestamptz, row_count bigint,
               estimated boolean)
LANGUAGE plpgsql AS $$
DECLARE
    p record;
    tuples real;
BEGIN
    IF keep_days IS NULL OR keep_days < 1 THEN
        RETURN;
    END IF;
    PERFORM pg_advisory_xact_lock()SQL" CHRONQ_SCHEMA_LOCK R"SQL();
    PERFORM set_config('lock_timeout', '2s', true);
    FOR p IN SELECT t.name, t.from_time, t.to_time FROM chronq.tsdata_partitions t
              WHERE t.to_time <= now() - make_interval(days => keep_days)
                AND NOT (t.from_time <= now() AND now() < t.to_time)
              ORDER BY t.to_time LOOP
        BEGIN
            SELECT c.reltuples INTO tuples FROM pg_class c WHERE c.oid = p.name::regclass;
            IF tuples < 0 OR tuples < 1000000 THEN
                EXECUTE format('SELECT count(*) FROM %s', p.name) INTO row_count;
                estimated := false;
            ELSE
                row_count := tuples::bigint;
                estimated := true;
            END IF;
            EXECUTE format('DROP TABLE %s', p.name);
            name := p.name;
            from_time := p.from_time;
            to_time := p.to_time;
            RETURN NEXT;
        EXCEPTION WHEN lock_not_available THEN
            RAISE WARNING 'chronq: % is in use; it is dropped another time', p.name;
        END;
    END LOOP;
END $$;
-- Which edition of these objects the database holds: a later one replaces them at connect.
COMMENT ON VIEW chronq.tsdata_partitions IS 'chronq objects 2';
COMMIT;
)SQL";

constexpr const char* kSchemaPresent = R"SQL(
SELECT to_regclass('chronq.sources') IS NOT NULL AND to_regclass('chronq.tags') IS NOT NULL
   AND to_regclass('chronq.write_marks') IS NOT NULL
   AND to_regclass('chronq.tsdata_tag_time_idx') IS NOT NULL
   AND COALESCE((SELECT relkind = 'p' FROM pg_class WHERE oid = to_regclass('chronq.tsdata')),
                false)
   AND to_regclass('chronq.samples') IS NOT NULL AND to_regclass('chronq.latest') IS NOT NULL
   AND obj_description(to_regclass('chronq.tsdata_partitions'), 'pg_class') = 'chronq objects 2'
   AND to_regprocedure('chronq.make_partitions(date[])') IS NOT NULL
   AND to_regprocedure('chronq.make_partitions_ahead()') IS NOT NULL
   AND to_regprocedure('chronq.drop_partitions_older_than(integer)') IS NOT NULL
)SQL";

constexpr const char* kPlainTimeSeries =
    "SELECT COALESCE((SELECT relkind = 'r' FROM pg_class "
    "WHERE oid = to_regclass('chronq.tsdata')), false)";

// The end of the plain table's range as a partition: the UTC day after the newest row, or after
// today when that is later. The newest row is found per tag through the (tag_id, time) index,
// walking the tag ids with one index probe each, so that 10 million rows are not read.
constexpr const char* kPlainTableEnd = R"SQL(
WITH RECURSIVE ids AS (
    (SELECT tag_id FROM chronq.tsdata ORDER BY tag_id LIMIT 1)
    UNION ALL
    SELECT (SELECT d.tag_id FROM chronq.tsdata d WHERE d.tag_id > ids.tag_id
             ORDER BY d.tag_id LIMIT 1)
      FROM ids WHERE ids.tag_id IS NOT NULL)
SELECT to_char(((greatest(
           (SELECT max((SELECT max(d.time) FROM chronq.tsdata d WHERE d.tag_id = ids.tag_id))
              FROM ids WHERE ids.tag_id IS NOT NULL) AT TIME ZONE 'UTC',
           now() AT TIME ZONE 'UTC'))::date + 1)::timestamp, 'YYYY-MM-DD')
)SQL";

constexpr int kUpgradeAttempts = 5;

// A statement of the schema's upkeep: it may wait for the schema lock or read a large table, so
// it gets a limit of its own, not the write limit.
detail::Result exec_upkeep(Connection& conn, const std::string& sql, const detail::Params& params,
                           std::chrono::milliseconds limit) {
    auto& s = detail::impl_of(conn);
    detail::session(conn);
    const detail::Deadline deadline = SteadyClock::now() + limit;
    detail::Result res =
        detail::send_and_collect(s, deadline, detail::Limit::lookup, [&](PGconn* pg) {
            return params.size() == 0
                       ? PQsendQuery(pg, sql.c_str())
                       : PQsendQueryParams(pg, sql.c_str(), params.size(), params.types(),
                                           params.values(), params.lengths(), params.formats(), 0);
        });
    if (!res.succeeded()) {
        detail::refusal(s, res.get());
    }
    return res;
}

[[noreturn]] void schema_failed(Connection& conn, const detail::Result& res,
                                std::string_view context) {
    const QueryError error = detail::refused_statement(detail::impl_of(conn), res, context);
    // Leave no aborted transaction behind on the session.
    detail::exec_allow_refusal(conn, "ROLLBACK", {});
    throw error;
}

void run_script(Connection& conn, const char* sql) {
    auto res = exec_upkeep(conn, sql, {}, std::chrono::minutes(2));
    if (!res.succeeded()) {
        schema_failed(conn, res, "could not create the chronq schema: ");
    }
}

// Converts a plain chronq.tsdata, rows and all, into the first partition of the partitioned
// table, without copying a row and without holding writers up for more than a moment:
//  1. a CHECK (time < end) is added NOT VALID, a brief lock;
//  2. it is validated, which reads the table but lets writers go on;
//  3. in one short transaction the table moves into the partitions' schema, the partitioned
//     table takes its name, and the old table is attached for every time before `end`: the
//     valid CHECK proves its rows belong there, so attaching reads nothing, and its index
//     becomes the partition's index as it is.
// A row written meanwhile at or after `end` fails the validation; the check is then made again
// with a later end. Runs under the schema lock held for the session, so a second collector
// connecting meanwhile waits and then finds the work done.
void upgrade(Connection& conn) {
    detail::log()->info("Converting chronq.tsdata into daily partitions in database {}",
                        conn.settings().dbname);
    const auto started = SteadyClock::now();
    auto locked = exec_upkeep(conn, "SELECT pg_advisory_lock(" CHRONQ_SCHEMA_LOCK ")", {},
                              std::chrono::minutes(10));
    if (!locked.succeeded()) {
        schema_failed(conn, locked, "could not convert chronq.tsdata: ");
    }
    struct Unlock {
        Connection& conn;
        ~Unlock() {
            try {
                if (!conn.is_closed()) {
                    detail::exec_allow_refusal(
                        conn, "SELECT pg_advisory_unlock(" CHRONQ_SCHEMA_LOCK ")", {});
                }
            } catch (...) {
                // The session is gone, and its lock with it.
            }
        }
    } unlock{conn};
    if (detail::exec(conn, kPlainTimeSeries).text(0, 0) != "t") {
        return;  // another collector converted it meanwhile
    }
    std::string end;
    for (int attempt = 1;; ++attempt) {
        end = exec_upkeep(conn, kPlainTableEnd, {}, std::chrono::minutes(2)).text(0, 0);
        const std::string add =
            "SET lock_timeout = '5s'; "
            "ALTER TABLE chronq.tsdata DROP CONSTRAINT IF EXISTS tsdata_partition_range; "
            "ALTER TABLE chronq.tsdata ADD CONSTRAINT tsdata_partition_range "
            "CHECK (time < '" +
            end +
            " 00:00:00+00'::timestamptz) NOT VALID; "
            "RESET lock_timeout";
        auto added = exec_upkeep(conn, add, {}, std::chrono::minutes(1));
        if (added.succeeded()) {
            auto valid = exec_upkeep(
                conn, "ALTER TABLE chronq.tsdata VALIDATE CONSTRAINT tsdata_partition_range", {},
                std::chrono::hours(2));
            if (valid.succeeded()) {
                break;
            }
            if (attempt >= kUpgradeAttempts || valid.sqlstate() != "23514") {
                schema_failed(conn, valid, "could not convert chronq.tsdata: ");
            }
        } else {
            detail::exec_allow_refusal(conn, "RESET lock_timeout", {});
            if (attempt >= kUpgradeAttempts) {
                schema_failed(conn, added, "could not convert chronq.tsdata: ");
            }
        }
    }
    std::string old_name = "tsdata_before_" + end;
    old_name.erase(std::remove(old_name.begin(), old_name.end(), '-'), old_name.end());
    const std::string swap =
        "BEGIN; SET LOCAL lock_timeout = '5s'; "
        "ALTER TABLE chronq.tsdata RENAME TO " +
        old_name +
        "; "
        "ALTER TABLE chronq." +
        old_name +
        " SET SCHEMA chronq_partitions; "
        "CREATE TABLE chronq.tsdata ("
        "    time    timestamptz NOT NULL DEFAULT now(),"
        "    tag_id  bigint NOT NULL,"
        "    value   double precision,"
        "    quality text NOT NULL"
        ") PARTITION BY RANGE (time); "
        "CREATE INDEX tsdata_tag_time_idx ON chronq.tsdata (tag_id, time); "
        "ALTER TABLE chronq.tsdata ATTACH PARTITION chronq_partitions." +
        old_name + " FOR VALUES FROM (MINVALUE) TO ('" + end +
        " 00:00:00+00'); "
        "COMMIT;";
    for (int attempt = 1;; ++attempt) {
        auto swapped = exec_upkeep(conn, swap, {}, std::chrono::minutes(1));
        if (swapped.succeeded()) {
            break;
        }
        detail::exec_allow_refusal(conn, "ROLLBACK", {});
        if (attempt >= kUpgradeAttempts) {
            schema_failed(conn, swapped, "could not convert chronq.tsdata: ");
        }
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
    detail::log()->info(
        "Converted chronq.tsdata into daily partitions: the earlier rows are kept as "
        "chronq_partitions.{} (before {}), in {} ms",
        old_name, end, ms.count());
}

// Adding a day waits as long as a write may: it stands in a write's way, and a table held by
// someone else must fail it like the write itself, not hold up a collector for longer.
std::chrono::milliseconds day_limit(const Connection& conn) {
    return std::chrono::milliseconds(std::max(conn.settings().write_timeout_ms, 1));
}

// The UTC calendar day of a time, as PostgreSQL reads a date.
std::string utc_day(TimePoint t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day ymd{day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return text;
}

std::int64_t day_number(TimePoint t) {
    return std::chrono::floor<std::chrono::days>(t).time_since_epoch().count();
}

}  // namespace

namespace detail {

void ensure_schema(Connection& conn) {
    auto present = exec(conn, kSchemaPresent);
    if (present.rows() != 1 || present.text(0, 0) != "t") {
        log()->info("Creating the chronq schema in database {}", conn.settings().dbname);
        run_script(conn, kCreateTables);
        if (exec(conn, kPlainTimeSeries).text(0, 0) == "t") {
            upgrade(conn);
        }
        run_script(conn, kCreateObjects);
    }
    keep_days_ahead(conn, true);
}

void keep_days_ahead(Connection& conn, bool now) {
    auto& s = impl_of(conn);
    const std::int64_t today = day_number(std::chrono::system_clock::now());
    if (!now && s.days_ahead_from == today) {
        return;
    }
    auto res = exec_upkeep(conn, "SELECT chronq.make_partitions_ahead()", {}, day_limit(conn));
    if (!res.succeeded()) {
        const QueryError error =
            refused_statement(s, res, "could not add the coming days' partitions: ");
        if (now) {
            throw error;
        }
        // A write goes on: a day still missing is added when a row needs it.
        log()->warn("{}", error.what());
    }
    s.days_ahead_from = today;
}

void make_days(Connection& conn, std::span<const TimePoint> times) {
    if (times.empty()) {
        try {
            keep_days_ahead(conn, true);
        } catch (const QueryError& e) {
            log()->warn("{}", e.what());
        }
        return;
    }
    std::set<std::int64_t> seen;
    std::vector<std::string> days;
    for (const TimePoint t : times) {
        if (seen.insert(day_number(t)).second) {
            days.push_back(utc_day(t));
        }
    }
    Params params;
    params.text_array(days);
    auto res = exec_upkeep(conn, "SELECT chronq.make_partitions($1::text[]::date[])", params,
                           day_limit(conn));
    if (!res.succeeded()) {
        // The write is tried again all the same and reports its own refusal.
        log()->warn(
            "{}",
            refused_statement(impl_of(conn), res, "could not add a day's partition: ").what());
        return;
    }
    const std::int64_t made = res.int64(0, 0);
    if (made > 0) {
        log()->info("Added {} daily partition(s) of chronq.tsdata for rows of {} day(s) from {}",
                    made, days.size(), days.front());
    }
}

}  // namespace detail

std::vector<DroppedPartition> drop_partitions_older_than(Connection& conn, int keep_days) {
    if (keep_days < 1) {
        return {};
    }
    detail::Params params;
    params.int64(keep_days);
    auto res = exec_upkeep(conn,
                           "SELECT name, to_char(from_time AT TIME ZONE 'UTC', 'YYYY-MM-DD'), "
                           "to_char(to_time AT TIME ZONE 'UTC' - interval '1 microsecond', "
                           "'YYYY-MM-DD'), row_count, estimated "
                           "FROM chronq.drop_partitions_older_than($1::int8::int4)",
                           params, std::chrono::minutes(5));
    if (!res.succeeded()) {
        throw detail::refused_statement(detail::impl_of(conn), res,
                                        "could not drop old partitions: ");
    }
    std::vector<DroppedPartition> dropped;
    for (int r = 0; r < res.rows(); ++r) {
        DroppedPartition p;
        p.name = res.text(r, 0);
        p.first_day = res.is_null(r, 1) ? "" : res.text(r, 1);
        p.last_day = res.text(r, 2);
        p.rows = res.int64(r, 3);
        p.estimated = res.text(r, 4) == "t";
        const std::string days = p.first_day == p.last_day ? p.last_day
                                 : p.first_day.empty()     ? "up to " + p.last_day
                                                           : p.first_day + " to " + p.last_day;
        detail::log()->info("Retention dropped the samples of {} (UTC), {}{} rows, with {}", days,
                            p.estimated ? "about " : "", p.rows, p.name);
        dropped.push_back(std::move(p));
    }
    return dropped;
}

}  // namespace chronq
