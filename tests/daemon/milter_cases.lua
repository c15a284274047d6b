-- Milter conversations with ascand, run by miltertest:
--   miltertest -s milter_cases.lua -D sock=unix:PATH -D case=NAME [-D file=EML] [-D ...]
-- Each case raises an error (miltertest exits non-zero) when ascand answers
-- other than expected. milter_test.sh runs them against a live daemon.

-- miltertest does not print a script's errors: say it, then fail.
local function fail(fmt, ...)
  local text = string.format(fmt, ...)
  io.stderr:write(text, "\n")
  error(text, 0)
end

local function open()
  local conn = mt.connect(sock, 40, 0.25)
  if conn == nil then fail("cannot connect to %s", sock) end
  if mt.conninfo(conn, "client.example.org", "127.0.0.1") ~= nil then fail("conninfo failed") end
  if mt.getreply(conn) ~= SMFIR_CONTINUE then fail("connection not accepted") end
  return conn
end

local function step(conn, err, what)
  if err ~= nil then fail("%s: %s", what, err) end
  local r = mt.getreply(conn)
  if r ~= SMFIR_CONTINUE then fail("%s: reply %q instead of continue", what, r) end
end

-- A message as header fields and body text.
local function parse(path)
  local f = io.open(path, "rb")
  if f == nil then fail("cannot read %s", path) end
  local text = f:read("*a"):gsub("\r\n", "\n")
  f:close()
  local head, body = text:match("^(.-)\n\n(.*)$")
  if head == nil then head, body = text, "" end
  local fields = {}
  for line in (head .. "\n"):gmatch("(.-)\n") do
    if line:match("^[ \t]") and #fields > 0 then
      fields[#fields][2] = fields[#fields][2] .. "\n" .. line
    else
      local name, value = line:match("^([^:]+):[ \t]*(.*)$")
      if name then fields[#fields + 1] = {name, value} end
    end
  end
  return {headers = fields, body = body:gsub("\n", "\r\n")}
end

-- Everything up to the end of the headers; `rcpts` recipients.
local function begin(conn, msg, rcpts)
  mt.macro(conn, SMFIC_MAIL, "i", msg.id or "TESTID")
  step(conn, mt.mailfrom(conn, "<sender@example.org>"), "MAIL FROM")
  for i = 1, rcpts or 1 do step(conn, mt.rcptto(conn, string.format("<user%d@example.org>", i)), "RCPT TO") end
  for _, h in ipairs(msg.headers) do step(conn, mt.header(conn, h[1], h[2]), "header " .. h[1]) end
  step(conn, mt.eoh(conn), "end of headers")
end

-- Sends the body in chunks of at most 64 KiB, like a mail server.
local function body(conn, text)
  local i = 1
  while i <= #text do
    step(conn, mt.bodystring(conn, text:sub(i, i + 65535 - 1)), "body")
    i = i + 65535
  end
end

local function finish(conn)
  if mt.eom(conn) ~= nil then fail("end of message failed") end
  return mt.getreply(conn)
end

local function send(conn, msg, rcpts)
  begin(conn, msg, rcpts)
  if msg.body ~= nil and #msg.body > 0 then body(conn, msg.body) end
  return finish(conn)
end

local function header(conn, name)
  return mt.getheader(conn, name, 0)
end

-- Accepted (continue or accept) with the three headers, the status one
-- matching `status_pattern` when given.
local function expect_scanned(conn, reply, what, status_pattern)
  if reply ~= SMFIR_CONTINUE and reply ~= SMFIR_ACCEPT then fail("%s: reply %q instead of accept", what, reply) end
  for _, name in ipairs({"X-Spam-Flag", "X-Spam-Score", "X-Spam-Status"}) do
    if not mt.eom_check(conn, MT_HDRADD, name) then fail("%s: no %s header added", what, name) end
  end
  local status = header(conn, "X-Spam-Status")
  if status_pattern and not status:match(status_pattern) then
    fail("%s: X-Spam-Status %q does not match %q", what, status, status_pattern)
  end
end

local simple = {headers = {{"From", "a@example.org"}, {"To", "b@example.org"}, {"Subject", "lunch on friday"}},
                body = "Shall we meet at noon?\r\n"}

local cases = {}

-- The headers of one sample: `flag`, `score` and `status` (folds as tabs),
-- or only `flag` when the others are not given.
function cases.headers()
  local conn = open()
  local reply = send(conn, parse(file))
  expect_scanned(conn, reply, "sample")
  for name, want in pairs({["X-Spam-Flag"] = flag, ["X-Spam-Score"] = score, ["X-Spam-Status"] = status}) do
    local got = (header(conn, name) or ""):gsub("\n\t", "\t")
    if want ~= nil and got ~= want then fail("%s: %q, expected %q", name, got, want) end
  end
  mt.disconnect(conn)
end

-- X-Spam-* fields that arrive with a message are removed, ours added.
function cases.forged()
  local conn = open()
  local msg = {headers = {{"X-Spam-Flag", "NO"}, {"From", "a@example.org"}, {"X-Spam-Status", "No, forged"},
                          {"X-Spam-Flag", "NO"}, {"Subject", "hello"}}, body = "hi\r\n"}
  expect_scanned(conn, send(conn, msg), "forged")
  for n = 1, 2 do
    if not mt.eom_check(conn, MT_HDRDELETE, "X-Spam-Flag") then fail("forged X-Spam-Flag %d kept", n) end
  end
  if not mt.eom_check(conn, MT_HDRDELETE, "X-Spam-Status") then fail("forged X-Spam-Status kept") end
  mt.disconnect(conn)
end

-- A message aborted in the middle of its body; the next one on the same
-- connection is scanned normally.
function cases.abort()
  local conn = open()
  begin(conn, simple)
  body(conn, string.rep("half a message\r\n", 1000))
  if mt.abort(conn) ~= nil then fail("abort failed") end
  expect_scanned(conn, send(conn, simple), "message after the abort")
  mt.disconnect(conn)
end

-- The mail server goes away in the middle of a message (no quit).
function cases.drop()
  local conn = open()
  begin(conn, simple)
  body(conn, string.rep("dropped\r\n", 100))
  mt.disconnect(conn, false)
  local again = open()
  expect_scanned(again, send(again, simple), "message after the dropped connection")
  mt.disconnect(again)
end

-- Size cap `cap`: a message of exactly `cap` bytes as ascand reassembles it
-- ("Name: value" CRLF per field, CRLF, body) is scanned; one byte more is not.
function cases.cap()
  local limit = tonumber(cap)
  local fixed = 0
  for _, h in ipairs(simple.headers) do fixed = fixed + #h[1] + 2 + #h[2] + 2 end
  fixed = fixed + 2
  for _, extra in ipairs({0, 1}) do
    local conn = open()
    local msg = {headers = simple.headers, body = string.rep("y", limit - fixed + extra)}
    local reply = send(conn, msg)
    if extra == 0 then
      expect_scanned(conn, reply, "message at the cap")
    else
      if reply ~= SMFIR_CONTINUE and reply ~= SMFIR_ACCEPT then fail("over the cap: reply %q", reply) end
      if mt.eom_check(conn, MT_HDRADD, "X-Spam-Flag") then fail("over the cap: got a verdict") end
      local st = header(conn, "X-Spam-Status")
      if st == nil or not st:match("not scanned") then fail("over the cap: X-Spam-Status %q", tostring(st)) end
    end
    mt.disconnect(conn)
  end
end

-- A body far over the cap, sent in 64 KiB chunks, then a normal message.
function cases.huge()
  local conn = open()
  begin(conn, simple)
  local chunk = string.rep("0123456789abcdef", 4096):sub(1, 65535)
  for _ = 1, tonumber(mib) * 16 do step(conn, mt.bodystring(conn, chunk), "body") end
  local reply = finish(conn)
  if reply ~= SMFIR_CONTINUE and reply ~= SMFIR_ACCEPT then fail("huge: reply %q", reply) end
  expect_scanned(conn, send(conn, simple), "message after the huge one")
  mt.disconnect(conn)
end

function cases.recipients()
  local conn = open()
  begin(conn, simple, tonumber(count))
  body(conn, simple.body)
  expect_scanned(conn, finish(conn), "many recipients")
  mt.disconnect(conn)
end

-- Headers and no body at all; then neither headers nor body.
function cases.nobody()
  local conn = open()
  expect_scanned(conn, send(conn, {headers = simple.headers}), "no body")
  expect_scanned(conn, send(conn, {headers = {}}), "no headers, no body")
  mt.disconnect(conn)
end

-- A reply instead of acceptance: `code`, `dsn` and `text` expected (this
-- miltertest matches a reply only when given all three).
function cases.reply()
  local conn = open()
  local reply = send(conn, file and parse(file) or simple)
  if reply ~= SMFIR_REPLYCODE then fail("reply %q instead of a reply code", reply) end
  if not mt.eom_check(conn, MT_SMTPREPLY, code, dsn, text) then fail("no '%s %s %s' reply", code, dsn, text) end
  if mt.eom_check(conn, MT_HDRADD) then fail("headers added to a refused message") end
  mt.disconnect(conn)
end

-- Accepted unchanged (on_error = accept).
function cases.unchanged()
  local conn = open()
  local reply = send(conn, simple)
  if reply ~= SMFIR_CONTINUE and reply ~= SMFIR_ACCEPT then fail("reply %q instead of accept", reply) end
  if mt.eom_check(conn, MT_HDRADD) then fail("headers added although the scan failed") end
  mt.disconnect(conn)
end

-- A message whose end comes after `pause` seconds (the test stops the
-- daemon meanwhile): it is still scanned, and a new message is refused.
function cases.slow()
  local conn = open()
  begin(conn, simple)
  mt.sleep(tonumber(pause))
  body(conn, simple.body)
  expect_scanned(conn, finish(conn), "message in progress at stop")
  mt.macro(conn, SMFIC_MAIL, "i", "AFTER")
  if mt.mailfrom(conn, "<late@example.org>") ~= nil then fail("MAIL FROM failed") end
  if mt.getreply(conn) ~= SMFIR_REPLYCODE then fail("a new message was not refused while stopping") end
  mt.disconnect(conn)
end

-- Prints the score of one sample (for the reload checks).
function cases.score()
  local conn = open()
  local reply = send(conn, parse(file))
  expect_scanned(conn, reply, "sample")
  print(header(conn, "X-Spam-Score"))
  mt.disconnect(conn)
end

if cases[case] == nil then fail("unknown case %s", tostring(case)) end
cases[case]()
