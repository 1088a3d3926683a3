# Ionogram from tolvek's plot rows: virtual range against sounding frequency,
# each range gate coloured by its strongest amplitude over the 16 channels.
#
#   tolvek -s recording.16c > ionogram.rows
#   gnuplot -e "datafile='ionogram.rows'; outfile='ionogram.png'" ionogram.gp
#
# Without outfile the plot goes to gnuplot's default terminal. The plot rows
# are read as they are: the time text fills columns 1-3 (year, day,
# hh:mm:ss), so frequency is column 4, range 5, polarization 6, noise 7,
# Doppler 8, azimuth 9, zenith 10, amplitude 11 and phase 12; '#' lines are
# comments; a blank line ends the 16 rows of a gate and two end a group.

if (!exists("datafile")) datafile = 'ionogram.rows'
if (exists("outfile")) {
  set terminal pngcairo size 900,600 font ",10"
  set output outfile
}

# Frequency step and gate spacing: the smallest rise from one row to the
# next. A recording with one frequency gets boxes 0.1 MHz wide.
fstep = 1e9; rstep = 1e9; lastf = -1e9; lastr = 1e9
stats datafile using \
  (df = $4 - lastf, dr = $5 - lastr, \
   fstep = (df > 1e-5 && df < fstep) ? df : fstep, \
   rstep = (dr > 1e-5 && dr < rstep) ? dr : rstep, \
   lastf = $4, lastr = $5, $4) nooutput
if (fstep == 1e9) fstep = 0.1
if (rstep == 1e9) rstep = 1.0
fmin = STATS_min - fstep / 2; fmax = STATS_max + fstep / 2
stats datafile using 5 nooutput
rmin = STATS_min - rstep / 2; rmax = STATS_max + rstep / 2

set title "Ionogram: strongest amplitude over the channels"
set xlabel "Frequency (MHz)"
set ylabel "Virtual range (km)"
set cblabel "Amplitude (dB)"
set xrange [fmin:fmax]
set yrange [rmin:rmax]
set palette defined (0 "#000020", 1 "#1030a0", 2 "#10a0a0", 3 "#f0e020", 4 "#ff3010")
set style fill solid noborder
unset key

# The 16 rows of a gate share one box; each row is drawn with the running
# maximum of its gate, so the last row, drawn on top, shows the strongest.
peak = 0; gatef = -1e9; gater = -1e9
strongest(f, r, a) = (peak = (f == gatef && r == gater && peak > a) ? peak : a, \
                      gatef = f, gater = r, peak)
plot datafile using 4:5:(fstep / 2):(rstep / 2):(strongest($4, $5, $11)) \
  with boxxyerror lc palette
