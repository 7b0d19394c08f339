-- wrk: launch-day traffic in turn: release check, map list, refresh, download descriptor.
dofile(os.getenv("LUA_DIR") .. "/refresh.lua")

local n = 0
request = function()
  n = n + 1
  local kind = n % 4
  if kind == 0 then return wrk.format("GET", "/files/releases/stable.json") end
  if kind == 1 then return wrk.format("GET", "/v1/maps?sort=popular&limit=60&q=") end
  if kind == 2 then
    local r = refresh_request()
    if r then return r end
  end
  return wrk.format("GET", "/v1/maps/" .. os.getenv("MAP_ID") .. "/download")
end
