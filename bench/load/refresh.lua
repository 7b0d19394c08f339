-- wrk: refresh sign-ins, each thread rotating its own share of the refresh tokens in the file
-- $TOKENS (one a line) and keeping every new token it is given.
local threads, made = {}, 0

function setup(thread)
  thread:set("id", made)
  made = made + 1
  table.insert(threads, thread)
end

function init(args)
  tokens, rotated = {}, 0
  local every = tonumber(os.getenv("THREADS") or "1")
  local i = 0
  for line in io.lines(os.getenv("TOKENS")) do
    if i % every == id then table.insert(tokens, line) end
    i = i + 1
  end
end

function refresh_request()
  local t = table.remove(tokens, 1)
  if t == nil then return nil end
  return wrk.format("POST", "/v1/auth/refresh", {["Content-Type"] = "application/json"},
                    '{"refresh_token":"' .. t .. '"}')
end

request = function()
  return refresh_request() or wrk.format("GET", "/v1/maps?sort=popular&limit=60&q=")
end

function response(status, headers, body)
  local t = body:match('"refresh_token":"([^"]+)"')
  if t then
    table.insert(tokens, t)
    rotated = rotated + 1
  end
end

function done(summary, latency, requests)
  local total = 0
  for _, t in ipairs(threads) do total = total + t:get("rotated") end
  io.write(string.format("rotated %d\n", total))
end
