-- wrk script of the browse service's load benchmark: random pages of 100
-- items of one data set, over a few sort field lists, in both directions.
-- The requests are built once, in init, so that wrk spends its time on the
-- connections, not in Lua.
-- Arguments (after --): ITEMS DATASET [SEED]
local fieldLists = {'["ByName","ByNumber"]', '["ByNumber"]', '["ByFlag","ByName"]'}
local requests = {}

function init(args)
  local items = tonumber(args[1])
  local dataSet = args[2]
  math.randomseed(tonumber(args[3] or "7"))
  for i = 1, 4000 do
    local body = string.format(
      '{"paths":[{"path":"%s"}],"queries":[{"queryId":"page","parameters":' ..
      '{"sort":{"fields":%s,"direction":%d},"paging":{"offset":%d,"limit":100}}}],' ..
      '"context":{"sessionId":"load-%d","sequence":%d}}',
      dataSet, fieldLists[math.random(#fieldLists)], math.random(0, 1),
      math.random(0, items - 100), i, i)
    requests[i] = wrk.format("POST", "/v1/browse", {["Content-Type"] = "application/json"}, body)
  end
end

function request()
  return requests[math.random(#requests)]
end
