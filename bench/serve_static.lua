-- wrk script of the HTTP peer: the same kind of POST as serve_pages.lua,
-- answered by nginx with a static file of an average answer's size.
local prepared

function init(args)
  prepared = wrk.format("POST", "/answer.json", {["Content-Type"] = "application/json"},
    '{"paths":[{"path":"/bench/items"}],"queries":[{"queryId":"page","parameters":' ..
    '{"sort":{"fields":["ByNumber"],"direction":1},"paging":{"offset":123456,"limit":100}}}],' ..
    '"context":{"sessionId":"load-1","sequence":1}}')
end

function request()
  return prepared
end
