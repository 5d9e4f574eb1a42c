; Script-Fu for the GIMP plug-in's test (desktop_test.py): opens files
; through GIMP's procedures and writes what GIMP made of them.
; how: "auto" (gimp-file-load), "yvn16" (the plug-in at 16 bits) or "psd".

(define (yvn-test-join fields)
  (if (null? (cdr fields))
      (string-append (car fields) "\n")
      (string-append (car fields) "\t" (yvn-test-join (cdr fields)))))

(define (yvn-test-open-image how file)
  (car (cond ((equal? how "yvn16") (file-yvn-load RUN-NONINTERACTIVE file file 16))
             ((equal? how "psd") (file-psd-load RUN-NONINTERACTIVE file file))
             (else (gimp-file-load RUN-NONINTERACTIVE file file)))))

(define (yvn-test-item-line item depth)
  (let ((n (lambda (x) (number->string (car x))))
        (b (lambda (x) (if (= (car x) TRUE) "1" "0")))
        (offsets (gimp-drawable-offsets item)))
    (yvn-test-join
      (list (number->string depth) (if (= (car (gimp-item-is-group item)) TRUE) "group" "layer")
            (car (gimp-item-get-name item)) (n offsets) (n (cdr offsets))
            (n (gimp-drawable-width item)) (n (gimp-drawable-height item)) (n (gimp-layer-get-mode item))
            (n (gimp-layer-get-composite-mode item)) (n (gimp-layer-get-blend-space item))
            (n (gimp-layer-get-composite-space item)) (n (gimp-layer-get-opacity item))
            (b (gimp-item-get-visible item)) (b (gimp-layer-get-lock-alpha item))
            (b (gimp-item-get-lock-content item))))))

; Writes the lines of `items` (a vector, top first) and their children;
; returns the next PNG number.
(define (yvn-test-walk img items depth port dir pngs n)
  (let loop ((i 0) (n n))
    (if (< i (vector-length items))
        (let ((item (vector-ref items i)))
          (display (yvn-test-item-line item depth) port)
          (if (= (car (gimp-item-is-group item)) TRUE)
              (loop (+ i 1)
                    (yvn-test-walk img (cadr (gimp-item-get-children item)) (+ depth 1) port dir pngs n))
              (let ((png (string-append dir "/" (number->string n) ".png")))
                (if pngs (file-png-save2 RUN-NONINTERACTIVE img item png png 0 1 0 0 0 0 0 0 1))
                (loop (+ i 1) (+ n 1)))))
        n)))

; Writes dir/layers.tsv, a line per layer and group in tree order, and when
; pngs is #t each layer's pixels as dir/N.png (each export starts a plug-in).
(define (yvn-test-open how file dir pngs)
  (let* ((img (yvn-test-open-image how file))
         (port (open-output-file (string-append dir "/layers.tsv")))
         (n (lambda (x) (number->string (car x)))))
    (display (yvn-test-join (list "image" (n (gimp-image-width img)) (n (gimp-image-height img))
                                  (n (gimp-image-get-precision img)))) port)
    (yvn-test-walk img (cadr (gimp-image-get-layers img)) 0 port dir pngs 0)
    (close-output-port port)
    (gimp-image-delete img)))

; Exports through gimp-file-save, or with the layers stored when how is "stored".
(define (yvn-test-export how file out)
  (let* ((img (yvn-test-open-image how file))
         (layer (vector-ref (cadr (gimp-image-get-layers img)) 0)))
    (if (equal? how "stored")
        (file-yvn-save RUN-NONINTERACTIVE img layer out out 1)
        (gimp-file-save RUN-NONINTERACTIVE img layer out out))
    (gimp-image-delete img)))

; Inserts `layer` into `parent` (0: the image) at x, y, filled with `colour`.
(define (yvn-test-add img layer parent x y colour)
  (gimp-image-insert-layer img layer parent 0)
  (gimp-layer-set-offsets layer x y)
  (gimp-context-set-foreground colour)
  (gimp-drawable-fill layer FILL-FOREGROUND))

; An image made in GIMP: a paper layer, and a hidden group holding a
; multiply layer at half opacity and a screen layer clipped to it, with its
; transparency locked and the left half of its mask black.
(define (yvn-test-made out)
  (let* ((img (car (gimp-image-new 64 48 RGB)))
         (paper (car (gimp-layer-new img 64 48 RGBA-IMAGE "paper" 100 LAYER-MODE-NORMAL)))
         (group (car (gimp-layer-group-new img)))
         (red (car (gimp-layer-new img 20 10 RGBA-IMAGE "red" 50 LAYER-MODE-MULTIPLY)))
         (blue (car (gimp-layer-new img 30 20 RGBA-IMAGE "blue" 100 LAYER-MODE-SCREEN))))
    (yvn-test-add img paper 0 0 0 '(200 180 160))
    (gimp-item-set-name group "folder")
    (gimp-image-insert-layer img group 0 0)
    (gimp-item-set-visible group FALSE)
    (yvn-test-add img red group 5 6 '(255 0 0))
    (yvn-test-add img blue group 30 20 '(0 0 255))
    (gimp-layer-set-composite-mode blue LAYER-COMPOSITE-CLIP-TO-BACKDROP)
    (gimp-layer-set-lock-alpha blue TRUE)
    (let ((mask (car (gimp-layer-create-mask blue ADD-MASK-WHITE))))
      (gimp-layer-add-mask blue mask)
      (gimp-image-select-rectangle img CHANNEL-OP-REPLACE 30 20 15 20)
      (gimp-context-set-foreground '(0 0 0))
      (gimp-drawable-edit-fill mask FILL-FOREGROUND)
      (gimp-selection-none img))
    (gimp-file-save RUN-NONINTERACTIVE img paper out out)
    (gimp-image-delete img)))

; A grayscale image at 16 bits: exported with 16 bits a channel.
(define (yvn-test-made-gray out)
  (let* ((img (car (gimp-image-new-with-precision 8 4 GRAY PRECISION-U16-GAMMA)))
         (layer (car (gimp-layer-new img 8 4 GRAYA-IMAGE "gray" 100 LAYER-MODE-NORMAL))))
    (yvn-test-add img layer 0 0 0 '(51 51 51))
    (file-yvn-save RUN-NONINTERACTIVE img layer out out 1)
    (gimp-image-delete img)))
