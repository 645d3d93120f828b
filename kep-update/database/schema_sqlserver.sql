-- The tables a line of kep-update stations shares on Microsoft SQL Server
-- (2016 SP1 or later). Made by `kep-update --database ... --init-database`,
-- which runs this file; every statement leaves what exists alone, so it may
-- run again.

IF OBJECT_ID(N'kep_serial_pool', N'U') IS NULL
CREATE TABLE kep_serial_pool (
    pool_name   nvarchar(64) NOT NULL PRIMARY KEY,
    next_serial bigint NOT NULL CHECK (next_serial >= 0)
);

IF OBJECT_ID(N'kep_serial_issued', N'U') IS NULL
CREATE TABLE kep_serial_issued (
    pool_name     nvarchar(64) NOT NULL REFERENCES kep_serial_pool (pool_name),
    serial_number bigint NOT NULL,
    station       nvarchar(128) NOT NULL,
    port          nvarchar(512) NULL,
    slot          nvarchar(128) NULL,
    record_id     nvarchar(64) NOT NULL UNIQUE,
    issued_at     datetime2(3) NOT NULL,
    PRIMARY KEY (pool_name, serial_number)
);

IF OBJECT_ID(N'kep_board_record', N'U') IS NULL
CREATE TABLE kep_board_record (
    record_id     nvarchar(64) NOT NULL PRIMARY KEY,
    station       nvarchar(128) NOT NULL,
    slot          nvarchar(128) NULL,
    port          nvarchar(512) NOT NULL,
    lot           nvarchar(128) NULL,
    operator_name nvarchar(128) NULL,
    serial_number bigint NULL,
    operation     nvarchar(16) NOT NULL,
    outcome       nvarchar(32) NOT NULL,
    exit_status   int NOT NULL,
    started       datetime2(3) NOT NULL,
    ended         datetime2(3) NOT NULL,
    image_sha256  char(64) NULL,
    message       nvarchar(max) NULL,
    record_json   nvarchar(max) NOT NULL
);

IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE name = N'kep_board_record_lot')
CREATE INDEX kep_board_record_lot ON kep_board_record (lot, station);

CREATE OR ALTER VIEW kep_yield AS
SELECT station, lot,
       count(*) AS updates,
       sum(CASE WHEN exit_status = 0 THEN 1 ELSE 0 END) AS passed,
       round(100.0 * sum(CASE WHEN exit_status = 0 THEN 1 ELSE 0 END) / count(*), 1) AS yield_percent
FROM kep_board_record
WHERE operation = 'update'
GROUP BY station, lot;

IF DATABASE_PRINCIPAL_ID(N'kep_station') IS NULL
CREATE ROLE kep_station;

GRANT SELECT, UPDATE (next_serial) ON kep_serial_pool TO kep_station;
GRANT SELECT, INSERT ON kep_serial_issued TO kep_station;
GRANT SELECT, INSERT ON kep_board_record TO kep_station;
GRANT SELECT ON kep_yield TO kep_station;
