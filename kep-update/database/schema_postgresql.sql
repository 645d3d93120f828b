-- The tables a line of kep-update stations shares on PostgreSQL. Made by
-- `kep-update --database ... --init-database`, which runs this file; every
-- statement leaves what exists alone, so it may run again.

-- One row a pool of serial numbers: the next number it hands out.
CREATE TABLE IF NOT EXISTS kep_serial_pool (
    pool_name   varchar(64) PRIMARY KEY,
    next_serial bigint NOT NULL CHECK (next_serial >= 0)
);

-- Every number handed out, in the same transaction as the pool's advance:
-- its key makes a number impossible to issue twice.
CREATE TABLE IF NOT EXISTS kep_serial_issued (
    pool_name     varchar(64) NOT NULL REFERENCES kep_serial_pool (pool_name),
    serial_number bigint NOT NULL,
    station       varchar(128) NOT NULL,
    port          varchar(512),
    slot          varchar(128),
    record_id     varchar(64) NOT NULL UNIQUE,
    issued_at     timestamp NOT NULL,
    PRIMARY KEY (pool_name, serial_number)
);

-- Every board's record; its id is made by the station, so that a record
-- sent twice is stored once.
CREATE TABLE IF NOT EXISTS kep_board_record (
    record_id     varchar(64) PRIMARY KEY,
    station       varchar(128) NOT NULL,
    slot          varchar(128),
    port          varchar(512) NOT NULL,
    lot           varchar(128),
    operator_name varchar(128),
    serial_number bigint,
    operation     varchar(16) NOT NULL,
    outcome       varchar(32) NOT NULL,
    exit_status   integer NOT NULL,
    started       timestamp NOT NULL,
    ended         timestamp NOT NULL,
    image_sha256  char(64),
    message       text,
    record_json   text NOT NULL
);
CREATE INDEX IF NOT EXISTS kep_board_record_lot ON kep_board_record (lot, station);

-- Updates per station and lot, and how many passed at the first attempt.
CREATE OR REPLACE VIEW kep_yield AS
SELECT station, lot,
       count(*) AS updates,
       count(*) FILTER (WHERE exit_status = 0) AS passed,
       round(100.0 * count(*) FILTER (WHERE exit_status = 0) / count(*), 1) AS yield_percent
FROM kep_board_record
WHERE operation = 'update'
GROUP BY station, lot;

-- A station may take numbers and add records, never change or delete them.
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kep_station') THEN
        CREATE ROLE kep_station NOLOGIN;
    END IF;
END
$$;
GRANT SELECT, UPDATE (next_serial) ON kep_serial_pool TO kep_station;
GRANT SELECT, INSERT ON kep_serial_issued, kep_board_record TO kep_station;
GRANT SELECT ON kep_yield TO kep_station;
