-- SPDX-License-Identifier: MIT
-- SWUpdate loads this file when it starts (require "swupdate_handlers" on
-- Lua's package.path, e.g. /usr/local/share/lua/5.3/). It registers the
-- image handler "orvexconf"; a robot that has a swupdate_handlers.lua of
-- its own adds the line below to it instead.
require("orvexconf_handler")
