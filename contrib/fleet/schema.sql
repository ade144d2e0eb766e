-- The central table of binding changes: one row per new or changed
-- binding reported by any sensor, written by rsyslog (pelorin-central.conf).
-- Run once in the database "pelorin", as its owner:
--   psql -d pelorin -f schema.sql
-- The role "rsyslog" may only add rows.
-- A table made before the event column came needs it before the central
-- snippet that fills it is installed:
--   ALTER TABLE binding_change ADD COLUMN event text
--       CHECK (event IN ('new', 'changed', 'flip-flop'));

CREATE TABLE binding_change (
    id             bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    sensor         text        NOT NULL,  -- host name of the sensor's rsyslog
    ifname         text        NOT NULL,  -- the watched interface on it
    capture_time   timestamp   NOT NULL,  -- capture time, the sensor's local time as sent
    utc_offset     interval,              -- the sensor's offset from UTC then, if sent
    ipaddr         inet        NOT NULL,
    hostname       text        NOT NULL,  -- or (unknown), (link-local)
    new_hwaddr     macaddr     NOT NULL,
    new_hwaddr_org text        NOT NULL,  -- or (unknown), (private)
    old_hwaddr     macaddr,               -- NULL for a first sighting
    old_hwaddr_org text,
    received       timestamptz NOT NULL,  -- when the central host received it
    -- new, changed or flip-flop; NULL from a sensor too old to say
    event          text CHECK (event IN ('new', 'changed', 'flip-flop'))
);

-- Where has this hardware address been?
CREATE INDEX binding_change_new_hwaddr ON binding_change (new_hwaddr, received);
-- What happened to this IP address?
CREATE INDEX binding_change_ipaddr ON binding_change (ipaddr, received);
-- Which addresses changed hands lately?
CREATE INDEX binding_change_changed ON binding_change (received) WHERE old_hwaddr IS NOT NULL;

GRANT INSERT ON binding_change TO rsyslog;
