-- A 1,024-byte urlencoded form POST to /form: 16 fields of 64 bytes each
-- ("field07=..." is the one the applications read).
local fields = {}
for i = 0, 15 do
  local name = string.format("field%02d=", i)
  fields[#fields + 1] = name .. string.rep("v", 63 - #name)
end
wrk.method = "POST"
wrk.path = "/form"
wrk.body = table.concat(fields, "&") .. "&"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
