-- Example questions to the central table (schema.sql), for psql -d pelorin.

-- 1. Where has this hardware address been this month? Each sensor,
--    interface and IP address it took, with the first and last report.
SELECT sensor, ifname, ipaddr, hostname,
       min(capture_time) AS first_reported, max(capture_time) AS last_reported
  FROM binding_change
 WHERE new_hwaddr = '00:1b:21:5a:00:10'
   AND received >= date_trunc('month', now())
 GROUP BY sensor, ifname, ipaddr, hostname
 ORDER BY last_reported DESC;

-- 2. Which addresses changed hands today, anywhere?
SELECT sensor, ifname, ipaddr, hostname, capture_time,
       old_hwaddr, old_hwaddr_org, new_hwaddr, new_hwaddr_org
  FROM binding_change
 WHERE old_hwaddr IS NOT NULL
   AND received >= date_trunc('day', now())
 ORDER BY received;

-- 3. The whole story of one IP address, across sensors in different time
--    zones: capture times in UTC where the sensor sent its offset.
SELECT sensor, ifname, capture_time - utc_offset AS captured_utc,
       new_hwaddr, new_hwaddr_org, old_hwaddr
  FROM binding_change
 WHERE ipaddr = '192.0.2.10'
 ORDER BY captured_utc, id;
