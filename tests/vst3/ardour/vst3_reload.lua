-- SPDX-License-Identifier: ISC
-- ardour7-lua vst3_reload.lua SESSION_DIR
-- Loads the session vst3_session.lua saved, prints the plug-in's values ("values reloaded ...") and
-- saves the session again as the snapshot "again". Prints "done" at the end.
io.stdout:setvbuf ("no")
local session_dir = arg[1]

local backend = AudioEngine:set_backend ("None (Dummy)", "", "")
assert (backend, "no dummy backend")
backend:set_device_name ("Silence")
backend:set_sample_rate (48000)
backend:set_buffer_size (512)
assert (AudioEngine:start (false) == 0, "the engine did not start")

local s = load_session (session_dir, "quennet")
assert (s, "the session did not load")
local route = s:route_by_name ("Quennet")
assert (not route:isnil (), "no track")
local quennet = route:nth_plugin (1)
assert (not quennet:isnil (), "no plug-in")
assert (quennet:display_name () == "Quennet", "the second processor is " .. quennet:display_name ())

ARDOUR.LuaAPI.usleep (300000)
local line = "values reloaded"
for i = 0, 21 do
	line = line .. " " .. string.format ("%.9g", ARDOUR.LuaAPI.get_processor_param (quennet, i))
end
print (line)
assert (s:save_state ("again", false, false, false, false, false) == 0, "the session was not saved again")
close_session ()
print ("done")
