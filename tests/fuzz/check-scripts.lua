-- Loads rule scripts as the filter engine reads them and counts their rules: each file is
-- "<digest>-<list>-<rules>.lua", made by the filters document's fuzz target. A script must load,
-- run with stand-ins for NodeType and Regex, assign a table to its list and hold that many rules
-- (tables with a test field). Prints each script that does not, and exits 1 if any.
-- Usage: lua5.4 check-scripts.lua SCRIPT...
local failed = 0

local function count_rules(value)
    if type(value) ~= "table" then
        return 0
    end
    local rules = value.test ~= nil and 1 or 0
    for _, field in pairs(value) do
        rules = rules + count_rules(field)
    end
    return rules
end

for _, path in ipairs(arg) do
    local list, expected = path:match("%-(%a+)%-(%d+)%.lua$")
    local env = {
        NodeType = setmetatable({}, {
            __index = function(_, part)
                return function() return {part = part} end
            end,
        }),
        Regex = {new = function(pattern) return {regex = pattern} end},
    }
    local chunk, problem = loadfile(path, "t", env)
    local ran = chunk ~= nil
    if ran then
        ran, problem = pcall(chunk)
    end
    local rules = ran and count_rules(env[list]) or -1
    if ran and type(env[list]) ~= "table" then
        problem = "no table assigned to " .. tostring(list)
    elseif ran then
        problem = "rules counted"
    end
    if not ran or type(env[list]) ~= "table" or rules ~= tonumber(expected) then
        failed = failed + 1
        print(string.format("%s: %s (%d rules, %s expected)", path, tostring(problem), rules,
                            expected))
    end
end
print(string.format("check-scripts: %d scripts, %d did not read as expected", #arg, failed))
os.exit(failed == 0 and 0 or 1)
