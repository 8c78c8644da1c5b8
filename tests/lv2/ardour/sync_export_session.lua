-- SPDX-License-Identifier: ISC
-- ardour7-lua sync_export_session.lua SESSION_DIR EXPORT_DIR FRAMES PLUGIN_URI
-- A session at 48 kHz and 140 BPM with one stereo track: the test source, then Quennet with its
-- factory preset "Sync 2 Host". Exports samples 0 ... FRAMES - 1 as "first", rolls the transport
-- for a while, and exports the same range again as "after-rolling". Prints how many entries Ardour
-- shows in each of the plug-in's menus, and "done" at the end.
io.stdout:setvbuf ("no")
local session_dir, export_dir, frames, uri = arg[1], arg[2], tonumber (arg[3]), arg[4]
local export_preset = "6a0c3d5e-9f7b-4f53-8d1e-5b1c2a7e9d40"  -- quennet-test.preset

local backend = AudioEngine:set_backend ("None (Dummy)", "", "")
assert (backend, "no dummy backend")
backend:set_device_name ("Silence")
backend:set_sample_rate (48000)
backend:set_buffer_size (512)
assert (AudioEngine:start (false) == 0, "the engine did not start")

local s = create_session (session_dir, "quennet", 48000)
assert (s, "no session")

local tempo_map = Temporal.TempoMap.fetch_writable ()
tempo_map:set_tempo (Temporal.Tempo (140, 140, 4), Temporal.timepos_t (0))
Temporal.TempoMap.update (tempo_map)

local tracks = s:new_audio_track (2, 2, nil, 1, "Quennet", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
local track = tracks:front ()
track:monitoring_control ():set_value (ARDOUR.MonitorChoice.MonitorInput, PBD.GroupControlDisposition.NoGroup)

local source = ARDOUR.LuaAPI.new_luaproc (s, "Quennet Test Source")
assert (not source:isnil (), "the test source was not found")
track:add_processor_by_index (source, 0, nil, true)

local quennet = ARDOUR.LuaAPI.new_plugin (s, uri, ARDOUR.PluginType.LV2, "")
assert (not quennet:isnil (), "the plug-in was not found")
track:add_processor_by_index (quennet, 1, nil, true)
local plugin = quennet:to_insert ():plugin (0)
-- How many entries Ardour keeps of each menu's scale points (it merges labels that differ only by
-- a suffix after a final digit): "entries NAME: N".
local descriptor = ARDOUR.ParameterDescriptor ()
for i = 0, plugin:parameter_count () - 1 do
	local _, t = plugin:get_parameter_descriptor (i, descriptor)
	local n = 0
	for _ in pairs (ARDOUR.LuaAPI.desc_scale_points (t[2])) do n = n + 1 end
	if n > 0 then print ("entries " .. plugin:parameter_label (i) .. ": " .. n) end
end
local preset = plugin:preset_by_label ("Sync 2 Host")
assert (preset and preset.valid, "no preset \"Sync 2 Host\"")
assert (plugin:load_preset (preset), "the preset did not load")

local function export (name)
	local e = s:simple_export ()
	assert (e:set_preset (export_preset), "no export preset")
	e:set_folder (export_dir)
	e:set_name (name)
	e:set_range (0, frames)
	assert (e:run_export (), "export " .. name .. " failed")
	print ("exported " .. name)
end

export ("first")
s:request_roll (ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep (700000)
s:request_stop (false, false, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep (200000)
print ("rolled to " .. s:transport_sample ())
export ("after-rolling")

close_session ()
print ("done")
