-- SPDX-License-Identifier: MIT
-- The SWUpdate image handler "orvexconf": the firmware or the FLASH
-- parameter block of the robot's controller, written by orvexconf.
--
-- An image of type "orvexconf" in sw-description names its kind
-- ("firmware" or "params") and the port in its properties. SWUpdate has
-- checked the image's SHA-256 against the signed sw-description before the
-- handler runs. The handler copies the image into a private folder and
-- hands it to orvexconf-update, shared with the Mender modules: it
-- compares first and writes only when the controller differs, and puts a
-- parameter block back from its backup when the write fails. Every line
-- orvexconf-update wrote (the tool's own lines, its JSON run reports, the
-- outcome) goes into SWUpdate's log, and the handler's result is the
-- outcome orvexconf-update wrote last: 0 when it succeeded, 1 otherwise.

local swupdate = require("swupdate")

local CORE = os.getenv("ORVEXCONF_UPDATE") or "/usr/lib/orvexconf/orvexconf-update"

-- A word for /bin/sh, quoted whole.
local function quote(text)
  return "'" .. string.gsub(tostring(text), "'", "'\\''") .. "'"
end

-- A property as a list of texts (SWUpdate gives one value as a text and
-- several as a table).
local function values(properties, name)
  local value = properties[name]
  if value == nil then
    return {}
  elseif type(value) == "table" then
    return value
  end
  return { tostring(value) }
end

local function first(properties, name)
  return values(properties, name)[1]
end

local function read_all(path)
  local f = io.open(path, "r")
  if not f then
    return nil
  end
  local text = f:read("a")
  f:close()
  return text
end

local function install(image, folder)
  local properties = image.properties or {}
  local kind = first(properties, "kind")
  if kind ~= "firmware" and kind ~= "params" then
    swupdate.error("%s", "orvexconf: the image's property kind must be firmware or params, not " .. tostring(kind))
    return 1
  end
  local argv = { CORE, "install", "--kind", kind, "--record", folder }
  local port = first(properties, "port")
  if port then
    argv[#argv + 1] = "--port"
    argv[#argv + 1] = port
  end
  for _, name in ipairs({ "baud", "base" }) do
    local value = first(properties, name)
    if value then
      argv[#argv + 1] = "--" .. name
      argv[#argv + 1] = value
    end
  end
  -- Parameter values are properties "set-KEYWORD" (SWUpdate keeps no
  -- order among properties, so they go to orvexconf sorted by keyword).
  local keywords = {}
  for key, _ in pairs(properties) do
    local keyword = string.match(key, "^set%-(.+)$")
    if keyword then
      keywords[#keywords + 1] = keyword
    end
  end
  table.sort(keywords)
  for _, keyword in ipairs(keywords) do
    local value = values(properties, "set-" .. keyword)
    if #value ~= 1 then
      swupdate.error("%s", "orvexconf: the property set-" .. keyword .. " must hold one value")
      return 1
    end
    argv[#argv + 1] = "--keyword"
    argv[#argv + 1] = keyword
    argv[#argv + 1] = value[1]
  end
  local name = image.filename or ""
  if name ~= "" then
    -- The name keeps its extension (.bin, .hex, .rop, .blk tell orvexconf
    -- what the file is), but no folder.
    if not string.match(name, "^[%w_%-][%w_%.%-]*$") then
      swupdate.error("%s", "orvexconf: the image file name '" .. name .. "' is not a plain file name")
      return 1
    end
    local path = folder .. "/" .. name
    local err, msg = image:copy2file(path)
    if err ~= 0 then
      swupdate.error("%s", "orvexconf: cannot copy the image to " .. path .. ": " .. tostring(msg))
      return 1
    end
    argv[#argv + 1] = "--file"
    argv[#argv + 1] = path
  end
  if kind == "params" then
    argv[#argv + 1] = "--undo-on-failure"
  end
  local words = {}
  for i, word in ipairs(argv) do
    words[i] = quote(word)
  end
  local log = folder .. "/log"
  swupdate.info("%s", "orvexconf: running " .. table.concat(argv, " "))
  -- The exit status is not read: SWUpdate reaps its children itself, so
  -- the status a shell reports can be lost. orvexconf-update writes its
  -- outcome to the record folder's result file instead.
  os.execute(table.concat(words, " ") .. " </dev/null >" .. quote(log) .. " 2>&1")
  for line in string.gmatch(read_all(log) or "", "[^\n]+") do
    if string.match(line, "^orvexconf%-update: FAILED") then
      swupdate.error("%s", line)
    else
      swupdate.info("%s", line)
    end
  end
  local result = read_all(folder .. "/result") or ""
  if string.sub(result, 1, 3) == "ok\n" then
    return 0
  end
  if result == "" then
    swupdate.error("%s", "orvexconf: " .. CORE .. " left no outcome (is it installed? set ORVEXCONF_UPDATE)")
  end
  return 1
end

local function orvexconf_handler(image)
  local mktemp = io.popen("mktemp -d " .. quote(swupdate.tmpdir() .. "orvexconf-XXXXXX"))
  local folder = mktemp and mktemp:read("l")
  if mktemp then
    mktemp:close()
  end
  if not folder or folder == "" then
    swupdate.error("%s", "orvexconf: cannot create a private folder in " .. swupdate.tmpdir())
    return 1
  end
  local ok, result = pcall(install, image, folder)
  os.execute("rm -rf " .. quote(folder))
  if not ok then
    swupdate.error("%s", "orvexconf: the handler failed: " .. tostring(result))
    return 1
  end
  return result
end

swupdate.register_handler("orvexconf", orvexconf_handler, swupdate.HANDLER_MASK.IMAGE_HANDLER)
