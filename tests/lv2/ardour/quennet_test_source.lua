-- SPDX-License-Identifier: ISC
ardour {
	["type"]    = "dsp",
	name        = "Quennet Test Source",
	category    = "Utility",
	license     = "MIT",
	author      = "Quennet tests",
	description = [[Two sines from the transport position: an export holds what a file of the same formula holds]]
}

-- The same formula is in ardour_test.cpp: 0.5 sin(2 pi 441 t / 48000) left, 331 Hz right, where t
-- is the transport position in samples. While stopped, t counts on from its own start, so the
-- signal stays smooth.

function dsp_ioconfig ()
	return { [1] = { audio_in = 2, audio_out = 2 }, }
end

local stopped = 0

function dsp_run (ins, outs, n_samples)
	local rolling = Session:transport_rolling ()
	local position = Session:transport_sample ()
	local left = {}
	local right = {}
	for s = 1, n_samples do
		local t
		if rolling then t = position + s - 1 else t = stopped + s - 1 end
		left[s] = 0.5 * math.sin (2 * math.pi * 441 * t / 48000)
		right[s] = 0.5 * math.sin (2 * math.pi * 331 * t / 48000)
	end
	if not rolling then stopped = stopped + n_samples end
	outs[1]:set_table (left, n_samples)
	outs[2]:set_table (right, n_samples)
end
