#!/usr/bin/env bash
# Draws the application's pictures with ImageMagick. The PNGs are committed;
# run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")/res"
FONT=DejaVu-Sans-Bold
icon() { # name background glyph [foreground]
  convert -size 32x32 xc:none -define png:exclude-chunks=date,time -fill "$2" -draw "roundrectangle 1,1 30,30 6,6" \
    -font "$FONT" -pointsize "${5:-14}" -fill "${4:-white}" -gravity center -annotate +0+0 "$3" "$1.png"
}
icon New '#5b8def' 'N'; icon Open '#e0a030' 'O'; icon Save '#4a7f4a' 'S'
icon AddData '#2e8b57' '+' white 22
icon move '#666666' '↖' white 18; icon ZoomInTool '#3b6ea5' '+' white 20; icon ZoomOutTool '#3b6ea5' '−' white 20
icon PanTool '#3b6ea5' '✥' white 18; icon ZoomFullExtent '#3b6ea5' '[ ]' white 13; icon HelpSystem '#7a4fb0' '?' white 20
icon Heighth '#c0392b' 'H'; icon Inetesity '#7f8c8d' 'I'; icon Class '#8e44ad' 'C'; icon Return '#d35400' 'R'
icon RGB '#16a085' 'RGB' white 10; icon ID '#2c3e50' 'ID' white 12
icon DataFrame '#34495e' '≡' white 18; icon LAS '#27ae60' 'L'; icon Vector '#2980b9' 'V'
icon RasterGray '#7f7f7f' '▦' white 18; icon table '#b9770e' 'T'
# Tree silhouettes for the splash, the About box and the window icon.
convert -size 64x64 xc:none -fill '#1e6b3a' -draw "polygon 32,4 54,40 10,40" \
  -fill '#2f8f4e' -draw "polygon 32,16 58,52 6,52" -fill '#5d4037' -draw "rectangle 28,52 36,62" Verdanta.png
convert -size 160x120 gradient:'#dff3e4'-'#ffffff' \
  -fill '#1e6b3a' -draw "polygon 40,10 70,80 10,80" -fill '#2f8f4e' -draw "polygon 90,25 125,100 55,100" \
  -fill '#3c9d5d' -draw "polygon 130,40 155,105 105,105" -fill '#5d4037' -draw "rectangle 36,80 44,110 rectangle 86,100 94,115 rectangle 127,105 133,115" trees.png
convert -size 600x340 gradient:'#0f3d24'-'#2f8f4e' \
  -fill '#1b5e35' -draw "polygon 60,340 140,120 220,340" -draw "polygon 160,340 250,90 340,340" \
  -fill '#246b40' -draw "polygon 300,340 380,140 460,340" -draw "polygon 420,340 500,110 580,340" \
  -font "$FONT" -pointsize 54 -fill white -gravity northwest -annotate +36+40 'Verdanta' \
  -font DejaVu-Sans -pointsize 18 -annotate +40+110 'Airborne LiDAR for forestry' Start.png
