-- Reads the filter engine's rule scripts the way the engine does: Lua source that sets one
-- global table, "black" or "white", calling the engine's NodeType and Regex (stubbed here).
--
--   lua5.4 rule_scripts.lua check FILE...
--       For every document recorded in the files (tests/support/LuaReadBack.h): each script that
--       the document's rules call for is stored, loads, and holds exactly the rules of its list,
--       in the order the stylesheets write them, each with the rule's text escaped ("]]\x3E"
--       becomes "]\x5D>", then every "]]" becomes "]\x5D"); no script is stored that the rules do
--       not call for. A file whose documents all pass is removed; one that fails is kept.
--   lua5.4 rule_scripts.lua count SCRIPT_FILE
--       Prints the list a stored script sets and how many rules it holds ("black 4"), or why it
--       does not read.
-- Exits with 1 when anything fails, saying what.

local GROUPS = {"Subj", "Body", "Sndr", "Header", "Recv"}
local FORMS = {"Cont", "ContRE", "NotCont", "NotContRE"}
local HEADER_FIELDS = {subject = "Subj", from = "Sndr", to = "Recv"}
local PARTS = {Body = "Body", RawHeaders = "Header"}

-- The rank of each element name in its list's script: the character-set rules first (black list
-- only), then the twenty kinds in their fixed order.
local RANKS = {black = {Charset = 0}, white = {}}
for _, list in ipairs{{"black", ""}, {"white", "Allow"}} do
  local rank = 0
  for _, group in ipairs(GROUPS) do
    for _, form in ipairs(FORMS) do
      rank = rank + 1
      RANKS[list[1]][group .. form .. list[2]] = rank
    end
  end
end

local function escape(text)
  text = text:gsub("%]%]\\x3E", "]\\x5D>")
  text = text:gsub("%]%]", "]\\x5D")
  return text
end

local function count_keys(t)
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  return n
end

-- Raises an error unless `t` is a table holding exactly the fields named in `fields` (a list
-- also counts its positions 1..#t).
local function expect_shape(t, what, fields, list)
  if type(t) ~= "table" then error(what .. " is a " .. type(t) .. ", not a table", 0) end
  local n = #fields + (list and #t or 0)
  for _, field in ipairs(fields) do
    if t[field] == nil then error(what .. " lacks " .. field, 0) end
  end
  if count_keys(t) ~= n then error(what .. " has fields besides " .. table.concat(fields, ", "), 0) end
end

-- Loads one script in an environment of its own, with fresh stubs, and runs it. Returns the name
-- and table of the one global it sets.
local function run(script, label)
  local node_type = {}
  for _, part in ipairs{"Headers", "Body", "RawHeaders", "UsedCharset"} do
    node_type[part] = function(...)
      if select("#", ...) ~= 0 then error("NodeType." .. part .. " called with arguments", 0) end
      return part
    end
  end
  local regex = {new = function(...)
    local source = ...
    if select("#", ...) ~= 1 or type(source) ~= "string" then
      error("Regex.new called without one string", 0)
    end
    return {regex = source}
  end}
  local env = {NodeType = node_type, Regex = regex}
  local chunk, problem = load(script, "=" .. label, "t", env)
  if not chunk then error("does not load: " .. problem, 0) end
  -- A script that a rule text broke out of could run any code: stop it after a while.
  debug.sethook(function() error("runs too long", 0) end, "", 10000000)
  local ran, failure = pcall(chunk)
  debug.sethook()
  if not ran then error("fails when run: " .. tostring(failure), 0) end
  local name, value
  for key, held in pairs(env) do
    if not (key == "NodeType" and held == node_type) and not (key == "Regex" and held == regex) then
      if name ~= nil then error("sets more than one global", 0) end
      name, value = key, held
    end
  end
  if name ~= "black" and name ~= "white" then error("sets no black or white list", 0) end
  return name, value
end

-- The element name and the text of one rule table of the list ("" or "Allow" for its names).
local function rule_of(rule, suffix, what)
  local negated = type(rule) == "table" and rule.op == "NOT"
  if negated then
    expect_shape(rule, what, {"op", "params"})
    expect_shape(rule.params, what .. ".params", {}, true)
    if #rule.params ~= 1 then error(what .. " negates " .. #rule.params .. " rules", 0) end
    rule = rule.params[1]
  end
  local group
  if type(rule) == "table" and rule.part == "Headers" then
    expect_shape(rule, what, {"part", "field", "test"})
    group = HEADER_FIELDS[rule.field]
  else
    expect_shape(rule, what, {"part", "test"})
    group = PARTS[rule.part]
  end
  if group == nil then error(what .. " tests an unknown part", 0) end
  local text, form = rule.test, "Cont"
  if type(text) == "table" then
    expect_shape(text, what .. ".test", {"regex"})
    text, form = text.regex, "ContRE"
    if text:sub(1, 5) ~= "((?i)" or text:sub(-1) ~= ")" then
      error(what .. " has a regular expression not written as ((?i)...)", 0)
    end
    text = text:sub(6, -2)
  elseif type(text) ~= "string" then
    error(what .. " tests a " .. type(text), 0)
  end
  return {name = group .. (negated and "Not" or "") .. form .. suffix, text = text}
end

-- The rules of a list's table, in order: {name=, text=} each.
local function rules_of(name, list)
  expect_shape(list, name, {"op", "params"})
  if list.op ~= "OR" then error(name .. ".op is not OR", 0) end
  expect_shape(list.params, name .. ".params", {}, true)
  local rules = {}
  for at, rule in ipairs(list.params) do
    local what = name .. ".params[" .. at .. "]"
    if name == "black" and at == 1 and rule.op == "OR" then
      expect_shape(rule, what, {"op", "params"})
      expect_shape(rule.params, what .. ".params", {}, true)
      for set, charset in ipairs(rule.params) do
        expect_shape(charset, what .. ".params[" .. set .. "]", {"part", "test"})
        if charset.part ~= "UsedCharset" or type(charset.test) ~= "string" then
          error(what .. " holds a rule that is not a character set", 0)
        end
        rules[#rules + 1] = {name = "Charset", text = charset.test}
      end
    else
      rules[#rules + 1] = rule_of(rule, name == "white" and "Allow" or "", what)
    end
  end
  return rules
end

-- The rules a document's list must hold: those of the list's names, by rank, then in document
-- order.
local function expected_rules(list, document_rules)
  local ranked = {}
  for at, rule in ipairs(document_rules) do
    local rank = RANKS[list][rule.name]
    if rank ~= nil then ranked[#ranked + 1] = {rank = rank, at = at, rule = rule} end
  end
  table.sort(ranked, function(a, b) return a.rank < b.rank or (a.rank == b.rank and a.at < b.at) end)
  local rules = {}
  for _, entry in ipairs(ranked) do
    rules[#rules + 1] = {name = entry.rule.name, text = escape(entry.rule.text)}
  end
  return rules
end

local function shown(text)
  return (text:gsub("[%c\\]", function(c) return string.format("\\%03d", c:byte()) end))
end

local function check_script(list, script, document)
  local calls_for = false
  for _, rule in ipairs(document.rules) do
    calls_for = calls_for or rule.typed == (list == "white")
  end
  if script == nil then
    if calls_for then error(list .. " script missing: the document has rules of the list", 0) end
    return 0
  end
  if not calls_for then error(list .. " script stored for a document with no rules of the list", 0) end
  local name, value = run(script, document.label .. " " .. list)
  if name ~= list then error(list .. " script sets " .. name, 0) end
  local found, wanted = rules_of(name, value), expected_rules(list, document.rules)
  for at = 1, math.max(#found, #wanted) do
    local got, want = found[at], wanted[at]
    if got == nil or want == nil or got.name ~= want.name or got.text ~= want.text then
      local function describe(rule)
        return rule and (rule.name .. " \"" .. shown(rule.text) .. "\"") or "nothing"
      end
      error(string.format("%s rule %d: read back %s, expected %s", list, at, describe(got),
                          describe(want)), 0)
    end
  end
  return #found
end

local function unhex(hex)
  return (hex:gsub("%x%x", function(pair) return string.char(tonumber(pair, 16)) end))
end

-- The documents of one record file.
local function read_records(path)
  local file = assert(io.open(path, "rb"))
  local documents, document = {}, nil
  for line in file:lines() do
    local label = line:match("^document (.*)$")
    local name, typed, text = line:match("^rule (%S+) ([01]) (%x*)$")
    local list, script = line:match("^(%a+) (%S+)$")
    if label then
      document = {label = label, rules = {}, scripts = {}}
      documents[#documents + 1] = document
    elseif name and document then
      document.rules[#document.rules + 1] = {name = name, typed = typed == "1", text = unhex(text)}
    elseif (list == "black" or list == "white") and document then
      document.scripts[list] = script ~= "-" and unhex(script) or nil
    else
      error(path .. ": unreadable line: " .. line, 0)
    end
  end
  file:close()
  return documents
end

local function check(paths)
  local failures, documents, scripts, rules = 0, 0, 0, 0
  for _, path in ipairs(paths) do
    local ok, records = pcall(read_records, path)
    local failed = not ok or #records == 0
    if failed then
      failures = failures + 1
      print(path .. ": " .. (ok and "no documents" or records))
      records = {}
    end
    for _, document in ipairs(records) do
      documents = documents + 1
      for _, list in ipairs{"black", "white"} do
        local checked, count = pcall(check_script, list, document.scripts[list], document)
        if checked then
          rules = rules + count
          scripts = scripts + (document.scripts[list] and 1 or 0)
        else
          failed, failures = true, failures + 1
          print(path .. ": " .. document.label .. ": " .. count)
        end
      end
    end
    if not failed then os.remove(path) end
  end
  print(string.format("rule scripts: %d files, %d documents, %d scripts loaded, %d rules read " ..
                      "back, %d failures", #paths, documents, scripts, rules, failures))
  return failures == 0 and #paths > 0
end

local function count(path)
  local file = assert(io.open(path, "rb"))
  local script = file:read("a")
  file:close()
  local ok, rules = pcall(function()
    local name, value = run(script, "script")
    return {name = name, count = #rules_of(name, value)}
  end)
  if not ok then
    print(rules)
    return false
  end
  print(rules.name .. " " .. rules.count)
  return true
end

local command = arg[1]
local passed
if command == "check" then
  passed = check(table.move(arg, 2, #arg, 1, {}))
elseif command == "count" and #arg == 2 then
  passed = count(arg[2])
else
  io.stderr:write("usage: lua5.4 rule_scripts.lua check FILE... | count SCRIPT_FILE\n")
  passed = false
end
os.exit(passed and 0 or 1)
