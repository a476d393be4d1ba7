-- The change log of the readings, for post-processing groups with ChangeLog=1 in PostgreSQL.
-- Run it once in the readings' database, after schema.sql; the programs that write VN_DATA1
-- stay as they are. VNPPSvc reads them for the groups of a configuration with
-- [PostProcess] ChangeLog=1, and deletes the changes every group has consumed.
--
-- VN_PPTHRESHOLD holds, per station and sensor, the latest time up to which any group has
-- computed its windows (raised by VNPPSvc at the start of each group run to the last window
-- the run may compute, never lowered). A change of VN_DATA1 (insert,
-- update, delete) at or before that time is recorded in VN_PPCHANGES, so that the next run
-- computes the windows it touches again. The triggers run once per statement over its
-- transition tables and write one row per station and sensor with the range of the time
-- tags it changed; readings later than the threshold, or of a station and sensor without one,
-- write nothing.

CREATE TABLE IF NOT EXISTS VN_PPTHRESHOLD (
  STATION_ID VARCHAR(64) NOT NULL,
  SENSORNAME VARCHAR(64) NOT NULL,
  THRESHOLD  TIMESTAMP   NOT NULL,
  PRIMARY KEY (STATION_ID, SENSORNAME)
);

CREATE TABLE IF NOT EXISTS VN_PPCHANGES (
  CHANGE_ID      BIGSERIAL   PRIMARY KEY,
  STATION_ID     VARCHAR(64) NOT NULL,
  SENSORNAME     VARCHAR(64) NOT NULL,
  FIRST_TIME_TAG TIMESTAMP   NOT NULL,
  LAST_TIME_TAG  TIMESTAMP   NOT NULL
);

CREATE INDEX IF NOT EXISTS VN_PPCHANGES_STATION_SENSOR
  ON VN_PPCHANGES (STATION_ID, SENSORNAME, CHANGE_ID);

-- The ids of VN_PPCHANGES must become visible in their order: the service reads the rows
-- after the last id it consumed, so a row committed after a higher id was read would be
-- skipped for ever. A sequence hands out ids in the order of the inserts, not of the commits
-- of concurrent writers, so a writer that is about to record a change first locks the table
-- against the other writers until it commits (SHARE ROW EXCLUSIVE conflicts with itself and
-- with inserts, not with plain reads). Writers of on-time readings record nothing and take no
-- lock.

-- Records the changed rows of an insert or a delete (CHANGED_ROWS) that lie at or before
-- their threshold.
CREATE OR REPLACE FUNCTION VN_PP_RECORD_ROWS() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF EXISTS (SELECT 1
               FROM CHANGED_ROWS c
               JOIN VN_PPTHRESHOLD t ON t.STATION_ID = c.STATION_ID AND t.SENSORNAME = c.SENSORNAME
              WHERE c.TIME_TAG <= t.THRESHOLD) THEN
    LOCK TABLE VN_PPCHANGES IN SHARE ROW EXCLUSIVE MODE;
    INSERT INTO VN_PPCHANGES (STATION_ID, SENSORNAME, FIRST_TIME_TAG, LAST_TIME_TAG)
    SELECT c.STATION_ID, c.SENSORNAME, MIN(c.TIME_TAG), MAX(c.TIME_TAG)
      FROM CHANGED_ROWS c
      JOIN VN_PPTHRESHOLD t ON t.STATION_ID = c.STATION_ID AND t.SENSORNAME = c.SENSORNAME
     WHERE c.TIME_TAG <= t.THRESHOLD
     GROUP BY c.STATION_ID, c.SENSORNAME;
  END IF;
  RETURN NULL;
END $$;

-- An update changes the readings where they now are and where they were (the same place
-- unless a time tag, station or sensor moved): both sides, merged per station and sensor.
CREATE OR REPLACE FUNCTION VN_PP_RECORD_UPDATE() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF EXISTS (SELECT 1
               FROM (SELECT STATION_ID, SENSORNAME, TIME_TAG FROM NEW_ROWS
                     UNION ALL
                     SELECT STATION_ID, SENSORNAME, TIME_TAG FROM OLD_ROWS) c
               JOIN VN_PPTHRESHOLD t ON t.STATION_ID = c.STATION_ID AND t.SENSORNAME = c.SENSORNAME
              WHERE c.TIME_TAG <= t.THRESHOLD) THEN
    LOCK TABLE VN_PPCHANGES IN SHARE ROW EXCLUSIVE MODE;
    INSERT INTO VN_PPCHANGES (STATION_ID, SENSORNAME, FIRST_TIME_TAG, LAST_TIME_TAG)
    SELECT c.STATION_ID, c.SENSORNAME, MIN(c.TIME_TAG), MAX(c.TIME_TAG)
      FROM (SELECT STATION_ID, SENSORNAME, TIME_TAG FROM NEW_ROWS
            UNION ALL
            SELECT STATION_ID, SENSORNAME, TIME_TAG FROM OLD_ROWS) c
      JOIN VN_PPTHRESHOLD t ON t.STATION_ID = c.STATION_ID AND t.SENSORNAME = c.SENSORNAME
     WHERE c.TIME_TAG <= t.THRESHOLD
     GROUP BY c.STATION_ID, c.SENSORNAME;
  END IF;
  RETURN NULL;
END $$;

DROP TRIGGER IF EXISTS VN_DATA1_PP_INSERT ON VN_DATA1;
CREATE TRIGGER VN_DATA1_PP_INSERT AFTER INSERT ON VN_DATA1
  REFERENCING NEW TABLE AS CHANGED_ROWS
  FOR EACH STATEMENT EXECUTE FUNCTION VN_PP_RECORD_ROWS();

DROP TRIGGER IF EXISTS VN_DATA1_PP_DELETE ON VN_DATA1;
CREATE TRIGGER VN_DATA1_PP_DELETE AFTER DELETE ON VN_DATA1
  REFERENCING OLD TABLE AS CHANGED_ROWS
  FOR EACH STATEMENT EXECUTE FUNCTION VN_PP_RECORD_ROWS();

DROP TRIGGER IF EXISTS VN_DATA1_PP_UPDATE ON VN_DATA1;
CREATE TRIGGER VN_DATA1_PP_UPDATE AFTER UPDATE ON VN_DATA1
  REFERENCING OLD TABLE AS OLD_ROWS NEW TABLE AS NEW_ROWS
  FOR EACH STATEMENT EXECUTE FUNCTION VN_PP_RECORD_UPDATE();
