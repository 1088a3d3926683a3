# Amplitude against Doppler shift and range for one sounding frequency, one
# panel per polarization, from tolvek's plot rows of a single group:
#
#   tolvek -f 5.0 -s recording.16c > doppler.rows
#   gnuplot -e "datafile='doppler.rows'; outfile='doppler.png'" doppler.gp
#
# Without outfile the plot goes to gnuplot's default terminal. Columns as in
# the plot rows: the time text fills 1-3, frequency 4, range 5, polarization
# 6, Doppler 8, amplitude 11; '#' lines are comments, blank lines separate
# the gates.

if (!exists("datafile")) datafile = 'doppler.rows'
if (exists("outfile")) {
  set terminal pngcairo size 900,600 font ",10"
  set output outfile
}

# Doppler line spacing: the smallest Doppler shift away from zero; the
# largest shift bounds the plot; gate
# spacing: the smallest rise of range from one row to the next.
dstep = 1e9; dmax = 0; rstep = 1e9; lastr = 1e9
stats datafile using \
  (d = abs($8), dstep = (d > 1e-5 && d < dstep) ? d : dstep, \
   dmax = (d > dmax) ? d : dmax, \
   dr = $5 - lastr, rstep = (dr > 1e-5 && dr < rstep) ? dr : rstep, \
   lastr = $5, $11) nooutput
if (dstep == 1e9) dstep = 1.0
if (rstep == 1e9) rstep = 1.0
amin = STATS_min; amax = STATS_max
if (amax <= amin) amax = amin + 1
stats datafile using 4 nooutput
frequency = STATS_min
stats datafile using 5 nooutput
rmin = STATS_min - rstep / 2; rmax = STATS_max + rstep / 2

set palette defined (0 "#000020", 1 "#1030a0", 2 "#10a0a0", 3 "#f0e020", 4 "#ff3010")
set cbrange [amin:amax]
set xrange [-dmax - dstep:dmax + dstep]
set yrange [rmin:rmax]
set style fill solid noborder
unset key
set xlabel "Doppler shift (Hz)"
set ylabel "Virtual range (km)"
set cblabel "Amplitude (dB)"

set multiplot layout 1,2 title sprintf("Amplitude by Doppler line at %.4f MHz", frequency)
set title "Polarization -90"
plot datafile using ($6 < 0 ? $8 : NaN):5:(dstep / 2):(rstep / 2):11 \
  with boxxyerror lc palette
set title "Polarization +90"
plot datafile using ($6 > 0 ? $8 : NaN):5:(dstep / 2):(rstep / 2):11 \
  with boxxyerror lc palette
unset multiplot
