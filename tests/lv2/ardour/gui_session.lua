-- SPDX-License-Identifier: ISC
-- ardour7-lua gui_session.lua SESSION_DIR PLUGIN_URI
-- A session at 48 kHz with one stereo track holding Quennet, saved for the GUI to open. Prints, for
-- each of Quennet's menus, how many entries Ardour keeps of its scale points ("entries SYMBOL N"):
-- Ardour keys them by a natural-number comparison that merges labels differing only by a suffix
-- after a final digit, and shows what that leaves. Prints "done" at the end.
io.stdout:setvbuf ("no")
local session_dir, uri = arg[1], arg[2]

local backend = AudioEngine:set_backend ("None (Dummy)", "", "")
assert (backend, "no dummy backend")
backend:set_device_name ("Silence")
backend:set_sample_rate (48000)
backend:set_buffer_size (1024)
assert (AudioEngine:start (false) == 0, "the engine did not start")

local s = create_session (session_dir, "quennet", 48000)
assert (s, "no session")
local tracks = s:new_audio_track (2, 2, nil, 1, "Quennet", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
local quennet = ARDOUR.LuaAPI.new_plugin (s, uri, ARDOUR.PluginType.LV2, "")
assert (not quennet:isnil (), "the plug-in was not found")
tracks:front ():add_processor_by_index (quennet, 0, nil, true)

local plugin = quennet:to_insert ():plugin (0)
local descriptor = ARDOUR.ParameterDescriptor ()
for i = 0, plugin:parameter_count () - 1 do
	local _, t = plugin:get_parameter_descriptor (i, descriptor)
	local n = 0
	for _ in pairs (ARDOUR.LuaAPI.desc_scale_points (t[2])) do n = n + 1 end
	if n > 0 then print ("entries " .. plugin:parameter_label (i) .. ": " .. n) end
end

s:save_state ("", false, false, false, false, false)
close_session ()
print ("done")
