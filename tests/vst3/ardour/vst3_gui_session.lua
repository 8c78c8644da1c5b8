-- SPDX-License-Identifier: ISC
-- ardour7-lua vst3_gui_session.lua SESSION_DIR UID
-- A session at 48 kHz with one stereo track and Quennet (VST3) on it, saved for Ardour's GUI to open.
-- Prints "done" at the end.
io.stdout:setvbuf ("no")
local session_dir, uid = arg[1], arg[2]

local backend = AudioEngine:set_backend ("None (Dummy)", "", "")
assert (backend, "no dummy backend")
backend:set_device_name ("Silence")
backend:set_sample_rate (48000)
backend:set_buffer_size (512)
assert (AudioEngine:start (false) == 0, "the engine did not start")

local s = create_session (session_dir, "quennet", 48000)
assert (s, "no session")
local tracks = s:new_audio_track (2, 2, nil, 1, "Quennet", ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
local quennet = ARDOUR.LuaAPI.new_plugin (s, uid, ARDOUR.PluginType.VST3, "")
assert (not quennet:isnil (), "the plug-in was not found")
tracks:front ():add_processor_by_index (quennet, 0, nil, true)
assert (s:save_state ("", false, false, false, false, false) == 0, "the session was not saved")
close_session ()
print ("done")
