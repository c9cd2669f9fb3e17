#!/bin/sh
# Regenerates the logo, the button icons and the program icon of batmon with ImageMagick.
# The generated files are committed; run this only to change the pictures.
set -eu
cd "$(dirname "$0")"
IM=/usr/bin/convert-im6.q16
FONT=/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf

# Logo: 379 x 56, blue fading to white, a battery glyph and the company name.
$IM -size 56x379 gradient:'#1F4E9A'-'#FFFFFF' -rotate -90 \
    -fill '#FFFFFF' -stroke '#0A2A5E' -strokewidth 2 -draw 'roundrectangle 14,16 50,40 3,3' \
    -fill '#0A2A5E' -stroke none -draw 'rectangle 50,23 55,33' \
    -fill '#3CC83C' -draw 'rectangle 17,19 40,37' \
    -font "$FONT" -pointsize 30 -fill '#FFFFFF' -stroke '#0A2A5E' -strokewidth 1 \
    -annotate +72+39 'Quorvane' \
    -quality 90 images/logo.jpg

# 16 x 16 button icons on a transparent background.
icon() {  # name, drawing arguments...
    name=$1; shift
    $IM -size 16x16 xc:none "$@" "icons/$name.png"
    $IM "icons/$name.png" -colorspace Gray -channel RGB -fill '#C8C8C8' -colorize 45% \
        +channel "icons/$name-disabled.png"
}
icon nav-realtime -fill '#E8F0FF' -stroke '#1F4E9A' -draw 'rectangle 0,1 15,14' \
    -fill none -stroke '#D02020' -strokewidth 1.5 -draw 'polyline 1,9 4,9 6,4 9,12 11,7 14,7'
icon nav-history -fill '#FFFFFF' -stroke '#1F4E9A' -strokewidth 1.5 -draw 'circle 7.5,7.5 7.5,1' \
    -stroke '#202020' -strokewidth 1.2 -draw 'line 7.5,7.5 7.5,3.5' -draw 'line 7.5,7.5 11,9'
icon nav-settings -fill '#808890' -stroke '#404850' -draw 'circle 7.5,7.5 7.5,1.5' \
    -strokewidth 2.5 -draw 'line 7.5,0 7.5,15' -draw 'line 0,7.5 15,7.5' \
    -draw 'line 2.2,2.2 12.8,12.8' -draw 'line 2.2,12.8 12.8,2.2' \
    -fill '#FFFFFF' -strokewidth 1 -draw 'circle 7.5,7.5 7.5,5'
icon export-excel -fill '#FFFFFF' -stroke '#1D6F42' -draw 'rectangle 2,0 15,15' \
    -draw 'line 2,5 15,5' -draw 'line 2,10 15,10' -draw 'line 8,0 8,15' \
    -fill '#1D6F42' -stroke none -draw 'rectangle 0,3 9,12' \
    -stroke '#FFFFFF' -strokewidth 1.5 -draw 'line 2,5 7,10' -draw 'line 7,5 2,10'
icon port-open -fill '#C0C0C0' -stroke '#404040' -draw 'rectangle 1,4 10,11' \
    -fill '#F0C040' -draw 'rectangle 10,5 15,6' -draw 'rectangle 10,9 15,10' \
    -fill '#404040' -stroke none -draw 'rectangle 0,7 1,8'
icon exit -fill '#A05A2C' -stroke '#5A3010' -draw 'rectangle 1,1 9,14' \
    -fill '#D02020' -stroke none -draw 'polygon 8,7 12,3 12,6 15,6 15,9 12,9 12,12'
icon start -fill '#20A020' -stroke '#106010' -draw 'polygon 3,1 14,7.5 3,14'
icon apply -fill none -stroke '#20A020' -strokewidth 3 -draw 'polyline 2,8 6,12 14,3'

# Program icon: a battery with a pulse line, 256 px and 64 px.
$IM -size 256x256 xc:none \
    -fill '#1F4E9A' -draw 'roundrectangle 8,8 248,248 40,40' \
    -fill '#FFFFFF' -draw 'roundrectangle 40,76 200,180 12,12' -draw 'rectangle 200,108 222,148' \
    -fill '#3CC83C' -draw 'rectangle 52,88 188,168' \
    -fill none -stroke '#0A2A5E' -strokewidth 10 -draw 'polyline 56,128 90,128 108,98 132,158 150,118 184,118' \
    icons/batmon-256.png
$IM icons/batmon-256.png -resize 64x64 icons/batmon.png
